/** Splits CSV text into field and end-of-line tokens. */
class Tokenizer {
  constructor(text, delimiter) {
    this.text = text;
    this.delimiter = delimiter;
  }

  *[Symbol.iterator]() {
    let i = 0;
    while (i < this.text.length) {
      const end = this.fieldEnd(i);
      yield { type: 'field', value: this.text.slice(i, end) };
      if (this.text[end] === '\n') yield { type: 'eol' };
      i = end + 1;
    }
  }

  fieldEnd(start) {
    let i = start;
    while (i < this.text.length && this.text[i] !== this.delimiter && this.text[i] !== '\n') i++;
    return i;
  }
}

module.exports = { Tokenizer };
