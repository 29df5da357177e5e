#!/usr/bin/env node
// Writes a voice note as the phone keeps it (.aud: a 0x02 byte, "#!SILK_V3", then
// 20 ms frames): a sine tone encoded with the npm package "silk-wasm" at 24 kHz.
// The tests use the committed output (tests/app/pages/data); regenerate with
// version 3.7.1, whose encoder writes the last frame whole (3.3.4, the version
// the pages decode with, drops its last byte):
//   cd "$(mktemp -d)" && npm install silk-wasm@3.7.1
//   node tools/gen_silk_tone.js "$PWD/node_modules/silk-wasm" OUT.aud [MILLISECONDS] [HERTZ]
'use strict';

const fs = require('fs');
const path = require('path');

async function main() {
    const [packageDir, out, ms = '1000', hz = '440'] = process.argv.slice(2);
    if (!packageDir || !out) throw new Error('usage: gen_silk_tone.js SILK_WASM_DIR OUT.aud [MILLISECONDS] [HERTZ]');
    const silk = require(path.resolve(packageDir));
    const rate = 24000;
    const samples = Math.round(rate * Number(ms) / 1000);
    const pcm = new Int16Array(samples);
    for (let i = 0; i < samples; i++) {
        pcm[i] = Math.round(8000 * Math.sin(2 * Math.PI * Number(hz) * i / rate));
    }
    const encoded = await silk.encode(pcm.buffer, rate);
    const head = Buffer.from(encoded.data.subarray(0, 10)).toString('latin1');
    if (head !== '\x02#!SILK_V3') throw new Error('the encoder did not write the phone\'s header');
    fs.writeFileSync(out, encoded.data);
    console.log(`${out}: ${encoded.data.length} bytes, ${samples} samples at ${rate} Hz`);
}

main().catch((e) => { console.error(e.message); process.exit(1); });
