// Small helpers every view shares: building elements (text only, never
// markup from data), formatting times and statuses, CSV.
"use strict";
var PB = window.PB || (window.PB = {});

// h("td", {class: "x", dataset: {id: 1}, onclick: f}, "text", child...)
// Strings become text nodes; null and false children are skipped.
PB.h = function (tag, attrs) {
  var el = document.createElement(tag);
  if (attrs) {
    Object.keys(attrs).forEach(function (k) {
      var v = attrs[k];
      if (v === null || v === undefined || v === false) return;
      if (k === "class") el.className = v;
      else if (k === "dataset") Object.keys(v).forEach(function (d) { el.dataset[d] = v[d]; });
      else if (k.slice(0, 2) === "on") el.addEventListener(k.slice(2), v);
      else if (k === "value") el.value = v;
      else if (k === "checked" || k === "disabled" || k === "selected") el[k] = !!v;
      else el.setAttribute(k, v === true ? "" : String(v));
    });
  }
  for (var i = 2; i < arguments.length; i++) PB.append(el, arguments[i]);
  return el;
};

PB.append = function (el, child) {
  if (child === null || child === undefined || child === false) return;
  if (Array.isArray(child)) { child.forEach(function (c) { PB.append(el, c); }); return; }
  el.appendChild(typeof child === "object" ? child : document.createTextNode(String(child)));
};

PB.clear = function (el) {
  while (el.firstChild) el.removeChild(el.firstChild);
  return el;
};

// What the DLL is told for each status the server sends.
PB.STATUS_MEANINGS = {
  100: "granted",
  201: "unknown account",
  202: "type not allowed",
  203: "expired",
  204: "suspended",
  205: "revoked",
  503: "busy (empty 503)"
};

PB.statusText = function (status) {
  var m = PB.STATUS_MEANINGS[status];
  return m ? status + " " + m : String(status);
};

PB.statusClass = function (status) {
  return status === 100 ? "st-ok" : (status >= 201 && status <= 299 ? "st-refused" : "st-other");
};

// "2026-12-10T12:00:00.123456Z" -> "2026-12-10 12:00:00" (UTC, as stored).
PB.formatTime = function (iso) {
  if (!iso) return "";
  var m = /^(\d{4}-\d{2}-\d{2})T(\d{2}:\d{2}:\d{2})/.exec(iso);
  return m ? m[1] + " " + m[2] : iso;
};

PB.todayUtc = function () {
  return new Date().toISOString().slice(0, 10);
};

// Days from today (UTC) to "YYYY-MM-DD"; negative when past.
PB.daysUntil = function (date) {
  var t = Date.parse(date + "T00:00:00Z");
  var today = Date.parse(PB.todayUtc() + "T00:00:00Z");
  return Math.round((t - today) / 86400000);
};

// "a=1&b=x y" <-> {a: "1", b: "x y"} for the part of the hash after '?'.
PB.parseQuery = function (text) {
  var out = {};
  if (!text) return out;
  text.split("&").forEach(function (part) {
    if (!part) return;
    var eq = part.indexOf("=");
    var k = decodeURIComponent(eq < 0 ? part : part.slice(0, eq));
    out[k] = eq < 0 ? "" : decodeURIComponent(part.slice(eq + 1));
  });
  return out;
};

PB.buildQuery = function (params) {
  return Object.keys(params).filter(function (k) {
    return params[k] !== undefined && params[k] !== null && params[k] !== "";
  }).map(function (k) {
    return encodeURIComponent(k) + "=" + encodeURIComponent(params[k]);
  }).join("&");
};

// One CSV field: quoted when it holds a comma, quote, CR or LF, or would
// start a formula in a spreadsheet (=, +, -, @, tab), which is then
// prefixed with a quote mark so that it is read as text.
PB.csvField = function (value) {
  var s = value === null || value === undefined ? "" : String(value);
  if (/^[=+\-@\t\r]/.test(s) && !/^-?\d+(\.\d+)?$/.test(s)) s = "'" + s;
  if (/[",\r\n]/.test(s)) s = '"' + s.replace(/"/g, '""') + '"';
  return s;
};

// Rows (arrays) to CSV text, CRLF line ends as RFC 4180 has them.
PB.csv = function (rows) {
  return rows.map(function (r) { return r.map(PB.csvField).join(","); }).join("\r\n") + "\r\n";
};

// Offers `text` as a file download named `name`.
PB.download = function (name, text, type) {
  var url = URL.createObjectURL(new Blob([text], {type: type || "text/csv;charset=utf-8"}));
  var a = PB.h("a", {href: url, download: name, class: "hidden"});
  document.body.appendChild(a);
  a.click();
  document.body.removeChild(a);
  setTimeout(function () { URL.revokeObjectURL(url); }, 1000);
};
