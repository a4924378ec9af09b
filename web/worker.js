// The worker: runs one `hostswitch` command line in the WebAssembly module on request and
// sends back its exit status, its standard output and error, and the files it wrote.
const hostswitchModule = createHostswitch();

onmessage = async (event) => {
  const request = event.data;
  const module = await hostswitchModule;
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
  postMessage(
    { type: "done", status: result.status, out: result.out, err: result.err, files },
    buffers,
  );
};
