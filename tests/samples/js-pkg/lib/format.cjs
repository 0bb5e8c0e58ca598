const QUOTE = '"';

// Quotes a field when it holds the delimiter, a quote or a line break.
function quoteField(value, delimiter) {
  const text = String(value);
  if (text.includes(delimiter) || text.includes(QUOTE) || /[\r\n]/.test(text)) {
    return QUOTE + text.replace(/"/g, '""') + QUOTE;
  }
  return text;
}

module.exports.formatRow = function formatRow(row, delimiter = ',') {
  return row.map((value) => quoteField(value, delimiter)).join(delimiter);
};
