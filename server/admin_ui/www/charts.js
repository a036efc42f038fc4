// The charts, drawn as SVG: fetches per hour (granted and refused stacked)
// and refusals by reason. Colours come from app.css classes.
"use strict";
var PB = window.PB || (window.PB = {});

PB.charts = (function () {
  var NS = "http://www.w3.org/2000/svg";

  function s(tag, attrs, text) {
    var el = document.createElementNS(NS, tag);
    Object.keys(attrs || {}).forEach(function (k) { el.setAttribute(k, attrs[k]); });
    if (text !== undefined) el.textContent = text;
    return el;
  }

  // A round upper bound for an axis: 1, 2 or 5 times a power of ten.
  function niceMax(n) {
    if (n <= 0) return 1;
    var p = Math.pow(10, Math.floor(Math.log10(n)));
    var steps = [1, 2, 5, 10];
    for (var i = 0; i < steps.length; i++) if (steps[i] * p >= n) return steps[i] * p;
    return 10 * p;
  }

  function refusedOf(hour) {
    var n = 0;
    Object.keys(hour.by_status || {}).forEach(function (k) {
      if (k !== "100") n += hour.by_status[k];
    });
    return n;
  }

  // hours: [{hour: ISO, fetches, by_status: {"100": N, ...}}], oldest first.
  function hourBars(hours) {
    var W = 1180, H = 280, left = 56, right = 12, top = 16, bottom = 44;
    var svg = s("svg", {viewBox: "0 0 " + W + " " + H, class: "chart", role: "img",
                        "aria-label": "fetches per hour"});
    var max = niceMax(hours.reduce(function (m, h) { return Math.max(m, h.fetches); }, 0));
    var plotW = W - left - right, plotH = H - top - bottom;
    var slot = hours.length ? plotW / hours.length : plotW;
    var bar = Math.max(1, slot * 0.8);
    [0, 0.5, 1].forEach(function (f) {
      var y = top + plotH * (1 - f);
      svg.appendChild(s("line", {x1: left, x2: W - right, y1: y, y2: y, class: "grid"}));
      svg.appendChild(s("text", {x: left - 6, y: y + 4, class: "axis end"}, String(Math.round(max * f))));
    });
    var every = hours.length > 96 ? 24 : (hours.length > 24 ? 12 : 3);
    hours.forEach(function (h, i) {
      var x = left + i * slot + (slot - bar) / 2;
      var refused = refusedOf(h);
      var granted = Math.max(0, h.fetches - refused);
      var gh = plotH * granted / max, rh = plotH * refused / max;
      var base = top + plotH;
      var title = PB.formatTime(h.hour).slice(0, 13) + "h: " + h.fetches + " fetches, " + refused + " refused";
      var g = s("g", {class: "hour"});
      g.appendChild(s("title", {}, title));
      if (gh > 0) g.appendChild(s("rect", {x: x, y: base - gh, width: bar, height: gh, class: "bar-ok"}));
      if (rh > 0) g.appendChild(s("rect", {x: x, y: base - gh - rh, width: bar, height: rh, class: "bar-refused"}));
      svg.appendChild(g);
      var hourOfDay = parseInt(h.hour.slice(11, 13), 10);
      if (hourOfDay % every === 0) {
        svg.appendChild(s("line", {x1: x + bar / 2, x2: x + bar / 2, y1: base, y2: base + 4, class: "grid"}));
        var label = hourOfDay === 0 ? h.hour.slice(5, 10) : h.hour.slice(11, 13) + "h";
        svg.appendChild(s("text", {x: x + bar / 2, y: base + 18, class: "axis middle"}, label));
      }
    });
    svg.appendChild(s("line", {x1: left, x2: W - right, y1: top + plotH, y2: top + plotH, class: "axis-line"}));
    return svg;
  }

  // refusals: {"201": N, ...}; one horizontal bar a status, largest first.
  function reasonBars(refusals) {
    var keys = Object.keys(refusals || {}).sort(function (a, b) { return refusals[b] - refusals[a]; });
    var W = 1180, row = 30, left = 220, right = 80, top = 8;
    var H = Math.max(1, keys.length) * row + top * 2;
    var svg = s("svg", {viewBox: "0 0 " + W + " " + H, class: "chart", role: "img",
                        "aria-label": "refusals by reason"});
    var max = keys.reduce(function (m, k) { return Math.max(m, refusals[k]); }, 0) || 1;
    if (!keys.length) {
      svg.appendChild(s("text", {x: 8, y: top + 18, class: "axis"}, "No refusals in this period."));
      return svg;
    }
    keys.forEach(function (k, i) {
      var y = top + i * row;
      var w = (W - left - right) * refusals[k] / max;
      svg.appendChild(s("text", {x: left - 8, y: y + 19, class: "axis end"}, PB.statusText(parseInt(k, 10))));
      svg.appendChild(s("rect", {x: left, y: y + 5, width: Math.max(1, w), height: row - 10,
                                 class: "bar-refused st-" + k}));
      svg.appendChild(s("text", {x: left + w + 6, y: y + 19, class: "axis"}, String(refusals[k])));
    });
    return svg;
  }

  return {hourBars: hourBars, reasonBars: reasonBars, niceMax: niceMax};
})();
