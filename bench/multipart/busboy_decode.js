// The busboy peer: decodes one multipart body file read in 64 KiB chunks,
// writing every upload into a folder and keeping every field, and prints
// "seconds bytes fields" for the decode alone.
//
//   node busboy_decode.js BODY_FILE UPLOAD_FOLDER BOUNDARY
'use strict';
const fs = require('fs');
const path = require('path');
const busboy = require('busboy');

const [bodyFile, folder, boundary] = process.argv.slice(2);
const size = fs.statSync(bodyFile).size;
const fields = [];
const written = [];
let pending = 1;
const start = process.hrtime.bigint();

function done() {
  if (--pending > 0) return;
  const seconds = Number(process.hrtime.bigint() - start) / 1e9;
  for (const name of written) fs.unlinkSync(name);
  console.log(`${seconds.toFixed(6)} ${size} ${fields.length + written.length}`);
}

const parser = busboy({
  headers: { 'content-type': `multipart/form-data; boundary=${boundary}` },
  limits: { fieldSize: Infinity, fields: Infinity, parts: Infinity, files: Infinity },
});
parser.on('field', (name, value) => fields.push([name, value]));
parser.on('file', (name, stream) => {
  const target = path.join(folder, `busboy-${written.length}.tmp`);
  written.push(target);
  ++pending;
  stream.pipe(fs.createWriteStream(target)).on('close', done);
});
parser.on('close', done);
fs.createReadStream(bodyFile, { highWaterMark: 64 * 1024 }).pipe(parser);
