// Which build of the WebAssembly module to start: "simd128" where the engine validates a
// module with a SIMD128 instruction, else "scalar"; "scalar" whenever `forced` says so (the
// scalar build stays testable on engines with SIMD). Both builds give the same bytes.
function chosenModule(forced) {
  if (forced === "scalar") return "scalar";
  // (module (func (result v128) i32.const 0 i8x16.splat))
  const simdProbe = new Uint8Array([
    0x00, 0x61, 0x73, 0x6d, 0x01, 0x00, 0x00, 0x00, 0x01, 0x05, 0x01, 0x60, 0x00, 0x01, 0x7b,
    0x03, 0x02, 0x01, 0x00, 0x0a, 0x08, 0x01, 0x06, 0x00, 0x41, 0x00, 0xfd, 0x0f, 0x0b,
  ]);
  return typeof WebAssembly === "object" && WebAssembly.validate(simdProbe) ? "simd128" : "scalar";
}
