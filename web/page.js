// The page: reads the form (or the link's query), hands one `hostswitch run` or
// `hostswitch sweep` command line to the worker, and shows what comes back.
"use strict";

const PARAMETERS = [
  ["n_pop", "--n-pop"],
  ["birth_rate", "--birth-rate"],
  ["capacity", "--capacity"],
  ["emig_rate", "--emig-rate"],
  ["sdr", "--sdr"],
  ["sdv", "--sdv"],
  ["max_dist", "--max-dist"],
  ["n_gen", "--n-gen"],
];
const FIELDS = [...PARAMETERS.map(([name]) => name), "seed", "replicates"];
// The most the worker hands back of a run's or a sweep's files; past it a browser may fail to
// pass them at all.
const RESULT_LIMIT = 256e6;

const element = (id) => document.getElementById(id);
// The module this engine runs, for the page's life (?kernel=scalar forces the scalar one).
const moduleBuild = chosenModule(new URLSearchParams(location.search).get("kernel"));
const workerUrl = URL.createObjectURL(
  new Blob([element(`module-${moduleBuild}`).textContent, element("worker-source").textContent], {
    type: "text/javascript",
  }),
);
let worker = null;
let running = null; // what the worker is doing: {mode, started}
const downloads = {};
const DOWNLOADS = ["download-output", "download-svg", "download-summary", "download-trajectories"];
let helpShown = false;
let reportShown = false; // whether the worker holds the sweep the report shows
let reportRequest = 0; // the latest report asked for again; older answers are dropped

function startWorker() {
  worker = new Worker(workerUrl);
  worker.onmessage = (event) => receive(event.data);
  worker.onerror = (event) => {
    // The module may be left in any state: the next run gets a fresh worker.
    worker.terminate();
    worker = null;
    finish();
    showMessage("The model stopped: " + (event.message || "unknown error"));
  };
}

function values() {
  const result = {};
  for (const name of FIELDS) result[name] = element(name).value.trim();
  return result;
}

// Flags as `--flag=value`, so a value that begins with a hyphen is still read as the value.
function commandLine(form) {
  const args = [form.replicates === "" ? "run" : "sweep"];
  for (const [name, flag] of PARAMETERS) args.push(flag + "=" + form[name]);
  if (form.seed !== "") args.push("--seed=" + form.seed);
  if (form.replicates === "") {
    args.push("--output=output.txt", "--plot=output.svg");
  } else {
    args.push("--replicates=" + form.replicates, "--jobs=1", "--summary=summary.csv",
              "--trajectories=trajectories.csv");
  }
  return args;
}

function showMessage(text) {
  element("message").textContent = text;
}

function setDownload(id, name, bytes, type) {
  const button = element(id);
  if (downloads[id]) URL.revokeObjectURL(downloads[id].url);
  delete downloads[id];
  button.disabled = !bytes;
  if (bytes) downloads[id] = { name, url: URL.createObjectURL(new Blob([bytes], { type })) };
}

function download(id) {
  const file = downloads[id];
  if (!file) return;
  const link = document.createElement("a");
  link.href = file.url;
  link.download = file.name;
  document.body.appendChild(link);
  link.click();
  link.remove();
}

function clearResults() {
  showMessage("");
  element("outcome").textContent = "";
  element("plot").replaceChildren();
  element("replicates-summary").textContent = "";
  element("replicates-report").replaceChildren();
  reportShown = false;
  for (const id of DOWNLOADS) setDownload(id, null, null);
  for (const name of FIELDS) element(name).removeAttribute("aria-invalid");
  element("progress").value = 0;
  element("progress-text").textContent = "";
}

function run() {
  if (running) return;
  clearResults();
  const form = values();
  running = { mode: form.replicates === "" ? "run" : "sweep", form, started: performance.now() };
  element("run").disabled = true;
  element("cancel").disabled = false;
  element("progress-text").textContent = "starting";
  ensureWorker();
  if (running.mode === "run") {
    const files = ["output.txt", "output.svg"];
    // Only a count the command line takes; anything else gets its own message.
    const generations = /^\d{1,10}$/.test(form.n_gen) && Number(form.n_gen) <= 2147483647
      ? Number(form.n_gen) : 0;
    worker.postMessage({ args: commandLine(form), files, limit: RESULT_LIMIT, generations });
  } else {
    const files = ["summary.csv", "trajectories.csv"];
    worker.postMessage({ args: commandLine(form), files, limit: RESULT_LIMIT,
                         report: reportChoice() });
  }
}

function ensureWorker() {
  if (worker) return;
  startWorker();
  if (!helpShown) worker.postMessage({ type: "help" });
}

// The axes of the report's figures; empty: those `hostswitch report` picks.
function reportChoice() {
  return {
    x: element("report-x").value,
    colour: element("report-colour").value,
    logX: element("report-log-x").checked,
  };
}

function showReport(report) {
  if (report.status !== 0) {
    showMessage(report.err);
    return;
  }
  if (!element("report-style")) {
    const style = document.createElement("style");
    style.id = "report-style";
    style.textContent = report.style;
    document.head.append(style);
  }
  const body = new DOMParser().parseFromString(report.html, "text/html").body;
  element("replicates-report").replaceChildren(...document.importNode(body, true).childNodes);
  reportShown = true;
}

// The same sweep's report on other axes.
function redrawReport() {
  if (running || !reportShown || !worker) return;
  showMessage("");
  worker.postMessage({ type: "report", id: ++reportRequest, report: reportChoice() });
}

// Table 1 of the model's description beside each parameter field, shown while the pointer
// is on the field or its label and while the field has the focus.
function showHelp(parameters) {
  helpShown = true;
  for (const row of parameters) {
    const field = element(row.name);
    const help = document.createElement("span");
    help.id = "help-" + row.name;
    help.className = "help";
    help.setAttribute("role", "tooltip");
    const name = document.createElement("strong");
    name.textContent = row.name;
    help.append(name, `: ${row.definition}. Unit: ${row.unit}. Domain: ${row.domain}. ` +
                      `Typical value: ${row.typical} (Table 1).`);
    const wrapper = document.createElement("span");
    wrapper.className = "field";
    field.replaceWith(wrapper);
    wrapper.append(field, help);
    field.setAttribute("aria-describedby", help.id);
  }
}

function finish() {
  running = null;
  element("run").disabled = false;
  element("cancel").disabled = true;
}

function cancel() {
  if (!running) return;
  worker.terminate();
  worker = null;
  finish();
  element("progress-text").textContent = "cancelled";
  showMessage("Cancelled: nothing was kept of this run.");
}

function receive(reply) {
  if (reply.type === "help") {
    if (!helpShown) showHelp(reply.parameters);
    return;
  }
  if (reply.type === "report") {
    if (!running && reply.id === reportRequest) showReport(reply.report);
    return;
  }
  if (!running) return;
  if (reply.type === "progress") {
    element("progress").max = Math.max(reply.total, 1);
    element("progress").value = reply.done;
    const unit = running.mode === "run" ? "generation" : "run";
    element("progress-text").textContent = `${unit} ${reply.done} of ${reply.total}`;
    return;
  }
  if (reply.type !== "done") return;
  const { mode, form, started } = running;
  finish();
  if (reply.status !== 0) {
    // The command line's own message, as it would print it; its hint about --help is
    // for the terminal.
    showMessage(reply.err.split("\n")[0]);
    const flag = /^hostswitch \w+: --([a-z-]+)/.exec(reply.err);
    if (flag) {
      const name = flag[1].replace(/-/g, "_");
      if (FIELDS.includes(name)) element(name).setAttribute("aria-invalid", "true");
    }
    element("progress-text").textContent = reply.status === 2 ? "refused" : "failed";
    return;
  }
  const seconds = ((performance.now() - started) / 1000).toFixed(2);
  element("progress").value = element("progress").max;
  element("progress-text").textContent = `done in ${seconds} s (${moduleBuild})`;
  const out = reply.out.trim();
  let seed;
  if (mode === "run") {
    element("outcome").textContent = out;
    seed = /; seed (-?\d+)/.exec(out)[1];
    const svg = new TextDecoder().decode(reply.files["output.svg"]);
    const picture = new DOMParser().parseFromString(svg, "image/svg+xml").documentElement;
    element("plot").replaceChildren(document.importNode(picture, true));
    setDownload("download-output", "output.txt", reply.files["output.txt"], "text/plain");
    setDownload("download-svg", "output.svg", reply.files["output.svg"], "image/svg+xml");
  } else {
    seed = /\(seed base (-?\d+)\)/.exec(out)[1];
    const summary = reply.files["summary.csv"];
    showReplicates(new TextDecoder().decode(summary));
    showReport(reply.report);
    setDownload("download-summary", "summary.csv", summary, "text/csv");
    const trajectories = reply.files["trajectories.csv"];
    setDownload("download-trajectories", "trajectories.csv", trajectories, "text/csv");
  }
  element("seed-used").textContent = seed;
  remember({ ...form, seed });
}

function showReplicates(csv) {
  const lines = csv.trim().split("\n");
  const header = lines[0].split(",");
  const outcome = header.indexOf("outcome");
  const switches = header.indexOf("switch_generations");
  const rows = lines.slice(1).map((line) => line.split(","));
  const extinct = rows.filter((row) => row[outcome] === "extinct").length;
  const switched = rows.filter((row) => Number(row[switches]) > 0).length;
  const share = (count) => (rows.length ? ((100 * count) / rows.length).toFixed(1) : "0.0");
  element("replicates-summary").textContent =
    `${rows.length} runs: extinct ${extinct} (${share(extinct)} %), ` +
    `with a host switch ${switched} (${share(switched)} %)`;
}

// The address bar and the link then hold the parameters and the seed used.
function remember(form) {
  const query = new URLSearchParams();
  for (const name of FIELDS) if (form[name] !== "") query.set(name, form[name]);
  try {
    history.replaceState(null, "", "?" + query.toString());
  } catch (refused) {
    // some browsers keep file:// addresses as they are
  }
  query.set("run", "1");
  const link = element("permalink");
  link.href = "?" + query.toString();
  link.hidden = false;
}

function load() {
  const query = new URLSearchParams(location.search);
  for (const name of FIELDS) if (query.has(name)) element(name).value = query.get(name);
  element("parameters").addEventListener("submit", (event) => {
    event.preventDefault();
    run();
  });
  element("cancel").addEventListener("click", cancel);
  for (const id of DOWNLOADS) element(id).addEventListener("click", () => download(id));
  for (const id of ["report-x", "report-colour"]) {
    const choice = element(id);
    for (const [name] of PARAMETERS) choice.add(new Option(name, name));
    choice.addEventListener("change", redrawReport);
  }
  element("report-log-x").addEventListener("change", redrawReport);
  if (query.get("run") === "1") {
    run();
  } else {
    ensureWorker();
  }
}

load();
