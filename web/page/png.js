// PNG files read and written in the page, so that the pixels the effect sorts are the file's own
// values: the browser's image decoders premultiply alpha and manage colour, this does neither.
// Reads 8-bit PNGs of every colour type (grey, RGB, palette, with or without alpha), not
// interlaced; anything else is left to the browser's decoder by the caller.
"use strict";

const PNG_SIGNATURE = [137, 80, 78, 71, 13, 10, 26, 10];

const crcTable = (() => {
  const table = new Uint32Array(256);
  for (let n = 0; n < 256; ++n) {
    let c = n;
    for (let k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    table[n] = c >>> 0;
  }
  return table;
})();

function crc32(bytes, crc = 0xffffffff) {
  for (let i = 0; i < bytes.length; ++i) crc = crcTable[(crc ^ bytes[i]) & 255] ^ (crc >>> 8);
  return crc;
}

async function inflate(bytes) {
  const stream = new Blob([bytes]).stream().pipeThrough(new DecompressionStream("deflate"));
  return new Uint8Array(await new Response(stream).arrayBuffer());
}

async function deflate(bytes) {
  const stream = new Blob([bytes]).stream().pipeThrough(new CompressionStream("deflate"));
  return new Uint8Array(await new Response(stream).arrayBuffer());
}

// { width, height, rgba: Uint8Array, alpha: whether the file has an alpha channel }, or null when
// the file is a PNG this reader leaves to the browser (16 bits, fewer than 8, interlaced).
async function decodePng(buffer) {
  const bytes = new Uint8Array(buffer);
  if (!PNG_SIGNATURE.every((b, i) => bytes[i] === b)) throw new Error("not a PNG file");
  const view = new DataView(buffer);
  let width = 0, height = 0, depth = 0, colour = 0, interlace = 0, palette = null, transparency = null;
  const data = [];
  for (let at = 8; at + 8 <= bytes.length;) {
    const length = view.getUint32(at);
    const type = String.fromCharCode(...bytes.subarray(at + 4, at + 8));
    const body = bytes.subarray(at + 8, at + 8 + length);
    if (type === "IHDR") {
      width = view.getUint32(at + 8); height = view.getUint32(at + 12);
      depth = body[8]; colour = body[9]; interlace = body[12];
    } else if (type === "PLTE") palette = body;
    else if (type === "tRNS") transparency = body;
    else if (type === "IDAT") data.push(body);
    else if (type === "IEND") break;
    at += 12 + length;
  }
  if (depth !== 8 || interlace !== 0) return null;
  const channels = { 0: 1, 2: 3, 3: 1, 4: 2, 6: 4 }[colour];
  if (!channels || !width || !height) throw new Error("unsupported PNG colour type " + colour);
  const raw = await inflate(new Uint8Array(await new Blob(data).arrayBuffer()));
  const stride = width * channels;
  if (raw.length < (stride + 1) * height) throw new Error("the PNG's image data is short");
  const rows = new Uint8Array(stride * height);
  for (let y = 0; y < height; ++y) {
    const filter = raw[y * (stride + 1)];
    const line = raw.subarray(y * (stride + 1) + 1, (y + 1) * (stride + 1));
    const out = rows.subarray(y * stride, (y + 1) * stride);
    const up = y ? rows.subarray((y - 1) * stride, y * stride) : new Uint8Array(stride);
    for (let x = 0; x < stride; ++x) {
      const a = x >= channels ? out[x - channels] : 0, b = up[x], c = x >= channels ? up[x - channels] : 0;
      let p = line[x];
      if (filter === 1) p += a;
      else if (filter === 2) p += b;
      else if (filter === 3) p += (a + b) >> 1;
      else if (filter === 4) {
        const e = a + b - c, pa = Math.abs(e - a), pb = Math.abs(e - b), pc = Math.abs(e - c);
        p += pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
      }
      out[x] = p;
    }
  }
  const rgba = new Uint8Array(width * height * 4);
  for (let i = 0, n = width * height; i < n; ++i) {
    const s = i * channels, d = i * 4;
    if (colour === 0) { rgba[d] = rgba[d + 1] = rgba[d + 2] = rows[s]; rgba[d + 3] = 255; }
    else if (colour === 4) { rgba[d] = rgba[d + 1] = rgba[d + 2] = rows[s]; rgba[d + 3] = rows[s + 1]; }
    else if (colour === 2) { rgba[d] = rows[s]; rgba[d + 1] = rows[s + 1]; rgba[d + 2] = rows[s + 2]; rgba[d + 3] = 255; }
    else if (colour === 6) rgba.set(rows.subarray(s, s + 4), d);
    else {
      const k = rows[s];
      rgba[d] = palette[3 * k]; rgba[d + 1] = palette[3 * k + 1]; rgba[d + 2] = palette[3 * k + 2];
      rgba[d + 3] = transparency && k < transparency.length ? transparency[k] : 255;
    }
  }
  const alpha = colour === 4 || colour === 6 || (colour === 3 && !!transparency);
  return { width, height, rgba, alpha };
}

function chunk(type, body) {
  const out = new Uint8Array(12 + body.length);
  const view = new DataView(out.buffer);
  view.setUint32(0, body.length);
  for (let i = 0; i < 4; ++i) out[4 + i] = type.charCodeAt(i);
  out.set(body, 8);
  view.setUint32(8 + body.length, (crc32(out.subarray(4, 8 + body.length)) ^ 0xffffffff) >>> 0);
  return out;
}

// An 8-bit PNG of the RGBA pixels: RGB when `alpha` is false (every alpha is then 255).
async function encodePng(width, height, rgba, alpha) {
  const channels = alpha ? 4 : 3, stride = width * channels;
  const raw = new Uint8Array((stride + 1) * height);
  for (let y = 0; y < height; ++y) {
    const row = y * (stride + 1);
    raw[row] = 1;  // "sub": each byte less the one a pixel before, for smaller files
    for (let x = 0; x < width; ++x)
      for (let c = 0; c < channels; ++c) {
        const i = (y * width + x) * 4 + c;
        raw[row + 1 + x * channels + c] = rgba[i] - (x ? rgba[i - 4] : 0);
      }
  }
  const header = new Uint8Array(13);
  new DataView(header.buffer).setUint32(0, width);
  new DataView(header.buffer).setUint32(4, height);
  header.set([8, alpha ? 6 : 2, 0, 0, 0], 8);
  return new Blob([new Uint8Array(PNG_SIGNATURE), chunk("IHDR", header), chunk("IDAT", await deflate(raw)),
                   chunk("IEND", new Uint8Array(0))], { type: "image/png" });
}

self.KorvanePng = { decodePng, encodePng };
