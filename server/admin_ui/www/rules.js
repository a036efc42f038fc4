// The reply format's rules for a set, as the server checks them
// (server/core/rules.cpp): checked here as the vendor types, so that the
// server's 400 on save is the exception. Sizes are UTF-8 bytes, as sent.
"use strict";
var PB = window.PB || (window.PB = {});

PB.rules = (function () {
  var MAX_NAME_BYTES = 255;
  var MAX_VALUE_BYTES = 4096;
  var MAX_PAIRS = 1000;
  var MAX_REPLY_TEXT = 64 * 1024;   // name=value&... before Base64
  var encoder = new TextEncoder();

  function bytes(s) { return encoder.encode(s).length; }
  function hasFormatByte(s) { return /[=&\u0000]/.test(s); }

  // The reason `name` cannot be a parameter name, or null.
  function checkName(name) {
    if (name === "") return "the name must not be empty";
    if (hasFormatByte(name)) return "the name holds '=', '&' or NUL, which the reply format cannot carry";
    if (bytes(name) > MAX_NAME_BYTES) return "the name is longer than " + MAX_NAME_BYTES + " bytes";
    if (name === "error" || name === "errorD") return "\"" + name + "\" is the server's own (the status and its text)";
    return null;
  }

  // The reason `value` cannot be a parameter value, or null.
  function checkValue(value) {
    if (value === "") return "the value is empty, which the reply format cannot carry (it would shift every later pair)";
    if (hasFormatByte(value)) return "the value holds '=', '&' or NUL, which the reply format cannot carry";
    if (bytes(value) > MAX_VALUE_BYTES) return "the value is longer than " + MAX_VALUE_BYTES + " bytes";
    return null;
  }

  // pairs: [{name, value}]. Returns {rows: [problem or null for each pair],
  // set: problem of the whole set or null, bytes: the reply text's size}.
  // A name given twice marks its second and later rows.
  function checkPairs(pairs) {
    var seen = Object.create(null);
    var size = 0;
    var rows = pairs.map(function (p) {
      var problem = checkName(p.name) || checkValue(p.value);
      if (!problem && seen[p.name]) problem = "\"" + p.name + "\" is given twice";
      seen[p.name] = true;
      size += bytes(p.name) + bytes(p.value) + 2;
      return problem;
    });
    var set = null;
    if (pairs.length > MAX_PAIRS) {
      set = "a set holds at most " + MAX_PAIRS + " parameters, not " + pairs.length;
    } else if (size > MAX_REPLY_TEXT) {
      set = "the parameters make a reply of " + size + " bytes; at most " + MAX_REPLY_TEXT + " are allowed";
    }
    return {rows: rows, set: set, bytes: size};
  }

  // A set's name: 1 to 128 of A-Z a-z 0-9 _ . : / + -
  function checkSetName(name) {
    if (!/^[A-Za-z0-9_.:\/+\-]{1,128}$/.test(name)) {
      return "a set name is 1 to 128 letters, digits, '_', '.', ':', '/', '+' or '-'";
    }
    return null;
  }

  return {
    checkName: checkName,
    checkValue: checkValue,
    checkPairs: checkPairs,
    checkSetName: checkSetName,
    MAX_PAIRS: MAX_PAIRS,
    MAX_REPLY_TEXT: MAX_REPLY_TEXT
  };
})();
