const { formatRow } = require('./format.cjs');

/** Turns rows of values into CSV text. */
function stringify(rows, options = {}) {
  const eol = options.eol || '\n';
  return rows.map((row) => formatRow(row, options.delimiter)).join(eol) + eol;
}

exports.stringify = stringify;
