// The worker: runs one `hostswitch` command line in the WebAssembly module on request and
// sends back its exit status, its standard output and error, the files it wrote and, for a
// sweep, its report; or sends the report again (other axes), or Table 1 for the form's help.
const hostswitchModule = createHostswitch();

// The report of the sweep whose summary (and trajectories) the module's file system holds.
function report(module, choice) {
  const text = (name) => {
    try {
      return module.FS.readFile(name, { encoding: "utf8" });
    } catch (missing) {
      return "";
    }
  };
  const [summary, trajectories] = [text("summary.csv"), text("trajectories.csv")];
  return module.replicatesReport(summary, trajectories, choice.x, choice.colour, choice.logX);
}

onmessage = async (event) => {
  const request = event.data;
  const module = await hostswitchModule;
  if (request.type === "help") {
    postMessage({ type: "help", parameters: module.parameterHelp() });
    return;
  }
  if (request.type === "report") {
    postMessage({ type: "report", id: request.id, report: report(module, request.report) });
    return;
  }
  for (const name of request.files) {
    try {
      module.FS.unlink(name);
    } catch (missing) {
      // not written by an earlier run
    }
  }
  let lastPost = 0;
  const progress = (done, total) => {
    const now = performance.now();
    if (done >= total || now - lastPost > 50) {
      lastPost = now;
      postMessage({ type: "progress", done, total });
    }
  };
  const result = module.command(request.args, progress);
  const files = {};
  const buffers = [];
  for (const name of request.files) {
    try {
      files[name] = module.FS.readFile(name);
      buffers.push(files[name].buffer);
    } catch (missing) {
      // a refused or failed run writes nothing
    }
  }
  const reply = { type: "done", status: result.status, out: result.out, err: result.err, files };
  if (request.report && result.status === 0) reply.report = report(module, request.report);
  postMessage(reply, buffers);
};
