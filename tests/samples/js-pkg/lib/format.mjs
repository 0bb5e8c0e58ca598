// ES module build of the formatter, for `import` users.
import { stringify } from './index.js';
import formatCjs from './format.cjs';

export const formatRow = formatCjs.formatRow;

export default function toCsv(rows, options) {
  return stringify(rows, options);
}
