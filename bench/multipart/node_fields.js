// The Node.js peer of the form-field look-up: parses one url-encoded body with
// URLSearchParams, gathers the values of each name in one pass (getAll per
// name would scan every field again), joins them, and prints
// "seconds bytes fields".
//
//   node node_fields.js BODY_FILE
'use strict';
const fs = require('fs');

const bodyFile = process.argv[2];
const start = process.hrtime.bigint();
const values = new Map();
for (const [name, value] of new URLSearchParams(fs.readFileSync(bodyFile, 'latin1'))) {
  const key = name.toUpperCase();
  if (!values.has(key)) values.set(key, []);
  values.get(key).push(value.trim());
}
let total = 0;
for (const list of values.values()) total += list.join('\r\n').length;
const seconds = Number(process.hrtime.bigint() - start) / 1e9;
console.log(`${seconds.toFixed(6)} ${fs.statSync(bodyFile).size} ${values.size}`);
