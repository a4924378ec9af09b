// Under node the module takes every file it opens for seekable and writes it at an offset,
// which a pipe or a device refuses ("Invalid seek"). Those are marked unseekable as they open,
// so they are written in place as the native program writes them.
Module["preRun"] = [].concat(Module["preRun"] || [], () => {
  const open = FS.open;
  FS.open = function (...args) {
    const stream = open.apply(this, args);
    if (stream.nfd !== undefined && !require("fs").fstatSync(stream.nfd).isFile()) {
      stream.seekable = false;
    }
    return stream;
  };
});
