// The Node.js peer of the form-field look-up: parses one url-encoded body with
// URLSearchParams, then reads every name once with getAll, and prints
// "seconds bytes fields".
//
//   node node_fields.js BODY_FILE
'use strict';
const fs = require('fs');

const bodyFile = process.argv[2];
const start = process.hrtime.bigint();
const params = new URLSearchParams(fs.readFileSync(bodyFile, 'latin1'));
const seen = new Set();
let total = 0;
for (const name of params.keys()) {
  if (seen.has(name)) continue;
  seen.add(name);
  total += params.getAll(name).join('\r\n').length;
}
const seconds = Number(process.hrtime.bigint() - start) / 1e9;
console.log(`${seconds.toFixed(6)} ${fs.statSync(bodyFile).size} ${seen.size}`);
