// The effect's module in a worker of its own, so that a render never holds up the page: the
// threaded build when the page is cross-origin isolated (shared memory), else the one-thread build.
// Messages: {id, kind: "render", look, width, height, fullWidth, fullHeight, pixels} → the pixels
// back, sorted; {id, kind: "command", look, input, output} → the command line.
"use strict";

// "?threads=1" asks for the one-thread build anyway (measurements, comparisons).
const threaded = self.crossOriginIsolated && typeof SharedArrayBuffer === "function" &&
                 new URLSearchParams(self.location.search).get("threads") !== "1";
importScripts(threaded ? "korvane-mt.js" : "korvane.js");

// The threaded module's memory is made here, so that its current size can be read after a thread
// grew it (the module's own views of it follow only on this thread's growth). 16 MiB to start,
// 4 GiB at most, as the module is linked.
const memory = threaded ? new WebAssembly.Memory({ initial: 256, maximum: 65536, shared: true }) : null;
const heap = module => (memory ? new Uint8Array(memory.buffer) : module.HEAPU8);

// The threads load the module's script by its address, which a worker cannot find out by itself.
const options = threaded ? { wasmMemory: memory, mainScriptUrlOrBlob: new URL("korvane-mt.js", self.location.href).href } : {};
const ready = KorvaneModule(options).then(module => {
  if (threaded) module._korvane_set_threads(0);
  return module;
});

function passString(module, text) {
  const bytes = module.lengthBytesUTF8(text) + 1;
  const at = module._korvane_alloc(bytes);
  module.stringToUTF8(text, at, bytes);
  return at;
}

function answer(module, at) {
  const text = module.UTF8ToString(at);
  return text ? JSON.parse(text) : null;
}

self.onmessage = async event => {
  const m = event.data;
  const module = await ready;
  try {
    if (m.kind === "hello") {
      self.postMessage({ id: m.id, params: JSON.parse(module.UTF8ToString(module._korvane_params())), threaded,
                         isolated: self.crossOriginIsolated, threads: threaded ? navigator.hardwareConcurrency : 1 });
    } else if (m.kind === "render") {
      const bytes = m.width * m.height * 4;
      const pixels = module._korvane_alloc(bytes);
      const look = passString(module, JSON.stringify(m.look));
      try {
        heap(module).set(m.pixels, pixels);
        const started = performance.now();
        const failure = answer(module, module._korvane_render(look, pixels, m.width, m.height, m.fullWidth, m.fullHeight));
        const ms = performance.now() - started;
        if (failure) { self.postMessage({ id: m.id, error: failure.error, field: failure.field }); return; }
        const out = heap(module).slice(pixels, pixels + bytes);
        self.postMessage({ id: m.id, pixels: out, width: m.width, height: m.height, ms }, [out.buffer]);
      } finally {
        module._korvane_free(pixels);
        module._korvane_free(look);
      }
    } else if (m.kind === "command") {
      const look = passString(module, JSON.stringify(m.look));
      const input = passString(module, m.input), output = passString(module, m.output);
      const text = module.UTF8ToString(module._korvane_command(look, input, output));
      [look, input, output].forEach(at => module._korvane_free(at));
      if (text.startsWith("{")) self.postMessage({ id: m.id, error: JSON.parse(text).error });
      else self.postMessage({ id: m.id, command: text });
    }
  } catch (e) {
    self.postMessage({ id: m.id, error: String(e && e.message || e) });
  }
};
