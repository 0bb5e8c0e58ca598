const { Tokenizer } = require('./tokens.js');

/**
 * Parses CSV text into rows of strings.
 */
function parse(text, { delimiter = ',' } = {}) {
  const rows = [];
  let row = [];
  for (const token of new Tokenizer(text, delimiter)) {
    if (token.type === 'field') row.push(token.value);
    else if (token.type === 'eol') {
      rows.push(row);
      row = [];
    }
  }
  if (row.length) rows.push(row);
  return rows;
}

module.exports = { parse };
