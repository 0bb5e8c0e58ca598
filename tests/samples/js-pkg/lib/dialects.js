// Named CSV dialects and how to detect them.
const COMMON = [',', ';', '\t'];

module.exports = {
  /** Guesses the delimiter from the first line. */
  detect(text) {
    const line = text.split('\n', 1)[0];
    return COMMON.find((d) => line.includes(d)) || ',';
  },
  excel: function () {
    return { delimiter: ',', eol: '\r\n' };
  },
};
