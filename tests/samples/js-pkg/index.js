'use strict';
/**
 * @file Entry point: CSV parsing and formatting.
 */
const { parse } = require('./lib/parser');
const format = require('./lib');

module.exports = { parse, stringify: format.stringify };
