// Short clips in the page: WebM (VP8, VP9, AV1) read by a small Matroska reader, MP4 by mp4box,
// decoded and encoded by WebCodecs, every frame rendered by the effect, and written as VP9 WebM by
// webm-muxer (both from npm, built beside the page). Frames are decoded by the browser (its YUV to RGB), so a
// clip's pixels are close to, not the same as, `korvane render`'s.
"use strict";
(() => {
  const ID = { EBML: 0x1a45dfa3, Segment: 0x18538067, Info: 0x1549a966, TimecodeScale: 0x2ad7b1, Tracks: 0x1654ae6b,
               TrackEntry: 0xae, TrackNumber: 0xd7, TrackType: 0x83, CodecID: 0x86, CodecPrivate: 0x63a2,
               DefaultDuration: 0x23e383, Video: 0xe0, PixelWidth: 0xb0, PixelHeight: 0xba, Cluster: 0x1f43b675,
               Timecode: 0xe7, SimpleBlock: 0xa3, BlockGroup: 0xa0, Block: 0xa1 };
  const MASTERS = new Set([ID.Segment, ID.Info, ID.Tracks, ID.TrackEntry, ID.Video, ID.Cluster, ID.BlockGroup]);
  const CODECS = { V_VP9: "vp09.00.10.08", V_VP8: "vp8", V_AV1: "av01.0.04M.08" };

  // A variable-length integer at `at`: { value, length }; `id` keeps the marker bit (element ids).
  function vint(bytes, at, id) {
    const first = bytes[at];
    let length = 1;
    while (length <= 8 && !(first & (0x80 >> (length - 1)))) ++length;
    if (length > 8) throw new Error("bad Matroska element at byte " + at);
    let value = id ? first : first & (0xff >> length), unknown = value === (0xff >> length);
    for (let i = 1; i < length; ++i) { value = value * 256 + bytes[at + i]; unknown = unknown && bytes[at + i] === 0xff; }
    return { value, length, unknown: !id && unknown };
  }
  const uint = (bytes, at, size) => { let v = 0; for (let i = 0; i < size; ++i) v = v * 256 + bytes[at + i]; return v; };
  const text = (bytes, at, size) => String.fromCharCode(...bytes.subarray(at, at + size)).replace(/\0+$/, "");

  // The video track's set-up and its frames in file order: { codec, width, height, description,
  // chunks: [{ type, timestamp (µs), data }] }.
  function readWebm(buffer) {
    const bytes = new Uint8Array(buffer);
    let scale = 1000000, cluster = 0, track = null;
    const tracks = [], blocks = [];
    const walk = (start, end) => {
      for (let at = start; at < end;) {
        const id = vint(bytes, at, true), size = vint(bytes, at + id.length, false);
        const body = at + id.length + size.length, stop = size.unknown ? end : Math.min(end, body + size.value);
        if (id.value === ID.TrackEntry) { track = { number: 0, type: 0, codec: "", width: 0, height: 0, description: null }; tracks.push(track); }
        if (MASTERS.has(id.value)) walk(body, stop);
        else if (id.value === ID.TimecodeScale) scale = uint(bytes, body, size.value);
        else if (id.value === ID.TrackNumber) track.number = uint(bytes, body, size.value);
        else if (id.value === ID.TrackType) track.type = uint(bytes, body, size.value);
        else if (id.value === ID.CodecID) track.codec = text(bytes, body, size.value);
        else if (id.value === ID.CodecPrivate) track.description = bytes.slice(body, stop);
        else if (id.value === ID.PixelWidth) track.width = uint(bytes, body, size.value);
        else if (id.value === ID.PixelHeight) track.height = uint(bytes, body, size.value);
        else if (id.value === ID.Timecode) cluster = uint(bytes, body, size.value);
        else if (id.value === ID.SimpleBlock || id.value === ID.Block) {
          const number = vint(bytes, body, false), head = body + number.length;
          const relative = (bytes[head] << 24 >> 16) | bytes[head + 1];
          const flags = bytes[head + 2];
          if (flags & 0x06) throw new Error("laced Matroska blocks are not read");
          blocks.push({ track: number.value, key: id.value === ID.SimpleBlock ? !!(flags & 0x80) : null,
                        time: (cluster + relative) * scale / 1000, data: bytes.subarray(head + 3, stop) });
        }
        at = stop;
      }
    };
    walk(0, bytes.length);
    const video = tracks.find(t => t.type === 1);
    if (!video) throw new Error("no video track");
    if (!CODECS[video.codec]) throw new Error("the page reads VP8, VP9 and AV1 WebM; this clip is " + video.codec);
    const chunks = blocks.filter(b => b.track === video.number)
      .map((b, i) => ({ type: (b.key === null ? i === 0 : b.key) ? "key" : "delta", timestamp: Math.round(b.time), data: b.data }));
    return { codec: CODECS[video.codec], width: video.width, height: video.height, description: video.description, chunks };
  }

  // The same from an MP4 (H.264, H.265, VP9, AV1 as the browser decodes them), read by mp4box.
  function readMp4(buffer) {
    if (typeof MP4Box !== "object") throw new Error("mp4box is not beside the page (web/build installs it)");
    const file = MP4Box.createFile();
    let info = null, failure = null;
    const chunks = [];
    file.onError = e => { failure = new Error(String(e)); };
    file.onReady = ready => {
      info = ready;
      if (!ready.videoTracks.length) return;
      file.setExtractionOptions(ready.videoTracks[0].id, null, { nbSamples: Infinity });
      file.start();
    };
    file.onSamples = (id, user, samples) => {
      for (const s of samples)
        chunks.push({ type: s.is_sync ? "key" : "delta", timestamp: Math.round(1e6 * s.cts / s.timescale),
                      duration: Math.round(1e6 * s.duration / s.timescale), data: s.data });
    };
    buffer.fileStart = 0;
    file.appendBuffer(buffer);
    file.flush();
    if (failure) throw failure;
    if (!info || !info.videoTracks.length) throw new Error("no video track");
    const track = info.videoTracks[0];
    let description = null;
    for (const entry of file.getTrackById(track.id).mdia.minf.stbl.stsd.entries) {
      const box = entry.avcC || entry.hvcC || entry.vpcC || entry.av1C;
      if (box) {
        const stream = new DataStream(undefined, 0, DataStream.BIG_ENDIAN);
        box.write(stream);
        description = new Uint8Array(stream.buffer, 8);  // the box's body, without its header
      }
    }
    return { codec: track.codec, width: track.video.width, height: track.video.height, description,
             chunks };  // in decoding order
  }

  function frameToPicture(frame, width, height) {
    const canvas = new OffscreenCanvas(width, height), g = canvas.getContext("2d");
    g.drawImage(frame, 0, 0, width, height);
    return { width, height, rgba: new Uint8Array(g.getImageData(0, 0, width, height).data.buffer), alpha: false };
  }

  const decoderConfig = clip => Object.assign({ codec: clip.codec, codedWidth: clip.width, codedHeight: clip.height },
                                               clip.mp4 && clip.description ? { description: clip.description } : {});

  // Decodes the clip's frames in order, handing each to `each` (awaited) before the next.
  async function decodeFrames(clip, each, limit = Infinity) {
    let failure = null, count = 0;
    const pending = [];
    const decoder = new VideoDecoder({ output: frame => pending.push(frame), error: e => { failure = e; } });
    decoder.configure(decoderConfig(clip));
    const drain = async () => {
      while (pending.length) {
        const frame = pending.shift();
        try { if (count++ < limit) await each(frame); } finally { frame.close(); }
      }
    };
    for (const chunk of clip.chunks) {
      if (failure) throw failure;
      if (count >= limit) break;
      decoder.decode(new EncodedVideoChunk(chunk));
      await new Promise(resolve => setTimeout(resolve, 0));
      await drain();
    }
    if (count < limit) await decoder.flush();
    await drain();
    decoder.close();
    if (failure) throw failure;
  }

  async function open(file) {
    if (typeof VideoDecoder !== "function") throw new Error("this browser has no WebCodecs");
    const mp4 = /\.(mp4|m4v|mov)$/i.test(file.name) || file.type === "video/mp4" || file.type === "video/quicktime";
    if (!mp4 && !/\.webm$/i.test(file.name) && file.type !== "video/webm") throw new Error("the page reads clips in WebM and MP4");
    const clip = mp4 ? readMp4(await file.arrayBuffer()) : readWebm(await file.arrayBuffer());
    clip.mp4 = mp4;
    const support = await VideoDecoder.isConfigSupported(decoderConfig(clip));
    if (!support.supported) throw new Error("this browser cannot decode " + clip.codec);
    await decodeFrames(clip, frame => { clip.first = frameToPicture(frame, clip.width, clip.height); }, 1);
    if (!clip.first) throw new Error("no frame could be decoded");
    const times = clip.chunks.map(c => c.timestamp).sort((a, b) => a - b);
    clip.fps = times.length > 1 ? Math.round(1e6 * (times.length - 1) / (times[times.length - 1] - times[0]) * 1000) / 1000 : 24;
    return clip;
  }

  // Every frame through `renderFrame(picture, seconds)`, encoded as VP9 in a WebM blob.
  async function renderClip(clip, look, renderFrame, say) {
    if (typeof WebMMuxer !== "object") throw new Error("webm-muxer is not beside the page (web/build installs it)");
    const { width, height } = clip;
    const target = new WebMMuxer.ArrayBufferTarget();
    // An MP4's first frame may be shown after time 0 (an edit list): the WebM starts at its first frame.
    const muxer = new WebMMuxer.Muxer({ target, video: { codec: "V_VP9", width, height, frameRate: clip.fps },
                                        firstTimestampBehavior: "offset" });
    let failure = null, index = 0;
    const add = (chunk, meta) => { try { muxer.addVideoChunk(chunk, meta); } catch (e) { failure = failure || e; } };
    const encoder = new VideoEncoder({ output: add, error: e => { failure = e; } });
    encoder.configure({ codec: "vp09.00.10.08", width, height, framerate: clip.fps, bitrate: Math.max(1e6, width * height * clip.fps * 0.2) });
    const frameTime = 1e6 / clip.fps;
    await decodeFrames(clip, async frame => {
      const seconds = frame.timestamp / 1e6;
      const out = await renderFrame(frameToPicture(frame, width, height), seconds);
      const sorted = new VideoFrame(out.pixels, { format: "RGBA", codedWidth: width, codedHeight: height,
                                                  timestamp: frame.timestamp, duration: frame.duration || frameTime });
      encoder.encode(sorted, { keyFrame: index % 120 === 0 });
      sorted.close();
      say("clip: frame " + ++index + " of " + clip.chunks.length);
      if (failure) throw failure;
    });
    await encoder.flush();
    encoder.close();
    if (failure) throw failure;
    muxer.finalize();
    say("clip: " + index + " frames");
    return new Blob([target.buffer], { type: "video/webm" });
  }

  self.KorvaneClip = { open, renderClip };
})();
