// The admin API over the session cookie (docs/admin-api.md). Every change
// carries the session's CSRF token; every failure becomes a PB.ApiError
// with the server's code and message, or a network message of our own.
"use strict";
var PB = window.PB || (window.PB = {});

PB.session = null;   // {admin, csrf} once signed in

PB.ApiError = function (status, code, message, body, retryAfter) {
  this.status = status;
  this.code = code;
  this.message = message;
  this.body = body;
  this.retryAfter = retryAfter;
};

// Called when a request answers 401 with a session that was thought valid
// (it expired or was signed out elsewhere). app.js sets it.
PB.onSessionLost = null;

// method, path under /api/v1 (segments already encoded), optional query
// object and JSON body. Resolves to the parsed JSON answer.
PB.api = function (method, path, query, body) {
  var url = "/api/v1" + path;
  var qs = query ? PB.buildQuery(query) : "";
  if (qs) url += "?" + qs;
  var headers = {"Accept": "application/json"};
  if (body !== undefined) headers["Content-Type"] = "application/json";
  if (method !== "GET" && PB.session) headers["X-CSRF-Token"] = PB.session.csrf;
  return fetch(url, {
    method: method,
    headers: headers,
    body: body === undefined ? undefined : JSON.stringify(body),
    credentials: "same-origin",
    cache: "no-store"
  }).then(function (r) {
    return r.text().then(function (text) {
      var data = null;
      try { data = text ? JSON.parse(text) : null; } catch (e) { data = null; }
      if (r.ok) return data;
      var code = data && data.error ? data.error : "http_" + r.status;
      var message = data && data.message ? data.message : "the server answered " + r.status;
      var err = new PB.ApiError(r.status, code, message, data, r.headers.get("Retry-After"));
      if (r.status === 401 && PB.session && path !== "/session" && PB.onSessionLost) PB.onSessionLost();
      throw err;
    });
  }, function () {
    throw new PB.ApiError(0, "network", "the server could not be reached", null, null);
  });
};

// "/products/P/licenses/ID" with each segment percent-encoded.
PB.path = function () {
  return Array.prototype.map.call(arguments, function (s) {
    return "/" + encodeURIComponent(s);
  }).join("");
};

PB.productPath = function (product) {
  var rest = Array.prototype.slice.call(arguments, 1);
  return PB.path.apply(null, ["products", product].concat(rest));
};

// Every page of a list route: follows `next` (as `cursorParam`) until it is
// null, at most `maxPages` pages; resolves to the concatenated `key` items.
PB.fetchAll = function (path, query, key, cursorParam, maxPages) {
  var items = [];
  function page(cursor, left) {
    var q = Object.assign({}, query);
    if (cursor !== null) q[cursorParam] = cursor;
    return PB.api("GET", path, q).then(function (data) {
      items = items.concat(data[key] || []);
      if (data.next === null || data.next === undefined) return items;
      if (left <= 1) throw new PB.ApiError(0, "too_many", "more than " + maxPages + " pages", null, null);
      return page(data.next, left - 1);
    });
  }
  return page(null, maxPages);
};
