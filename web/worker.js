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
  // A run that lasts writes at least one line of its results file a generation, so n_gen alone
  // tells that the results would be too large: refused before it starts.
  const least = request.generations * module.classLineBytes;
  if (least > request.limit) {
    postMessage({
      type: "done",
      status: 2,
      out: "",
      err: `hostswitch run: --n-gen ${request.generations}: a run that lasts writes at least ` +
        `${megabytes(least)} of results, more than the page can take back ` +
        `(${megabytes(request.limit)}); give at most ` +
        `${Math.floor(request.limit / module.classLineBytes)} generations, or use ` +
        "`hostswitch run` on the command line",
    });
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
  // What the page cannot take back is reported, never left to fail on its way there.
  const failure = (why) => ({
    type: "done",
    status: 1,
    out: "",
    err: `${why}; use fewer generations (or replicates), or \`hostswitch ${request.args[0]}\` ` +
      "on the command line",
  });
  const written = request.files.filter((name) => module.FS.analyzePath(name).exists);
  const bytes = written.reduce((total, name) => total + module.FS.stat(name).size, 0);
  if (result.status === 0 && bytes > request.limit) {
    for (const name of written) module.FS.unlink(name);
    postMessage(failure(`the results, ${megabytes(bytes)}, are more than the page can take ` +
                        `back (${megabytes(request.limit)})`));
    return;
  }
  try {
    const files = {};
    const buffers = [];
    for (const name of written) {
      files[name] = module.FS.readFile(name);
      buffers.push(files[name].buffer);
    }
    const reply = { type: "done", status: result.status, out: result.out, err: result.err, files };
    if (request.report && result.status === 0) reply.report = report(module, request.report);
    postMessage(reply, buffers);
  } catch (error) {
    postMessage(failure(`the page could not take the results back (${error.message})`));
  }
};

function megabytes(bytes) {
  return `${(bytes / 1e6).toFixed(bytes < 1e7 ? 1 : 0)} MB`;
}
