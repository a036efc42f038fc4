// The dashboard's shell: the session, the hash router, the header and the
// confirmation dialog. Routes:
//   #/signin                      #/audit
//   #/p/PRODUCT/licenses?q=&state=&expiring=1
//   #/p/PRODUCT/license/ID        #/p/PRODUCT/sets[/SET]
//   #/p/PRODUCT/live              #/p/PRODUCT/charts
// A view is function(ctx) -> optional cleanup; ctx.alive() turns false once
// the route changed, so that a late answer never draws over another view.
"use strict";
var PB = window.PB || (window.PB = {});

PB.products = [];
PB.views = PB.views || {};
var current = {token: 0, cleanup: null};
var afterSignIn = null;   // the hash to return to after signing in

PB.go = function (hash) {
  if (location.hash === hash) PB.route();
  else location.hash = hash;
};

PB.productHash = function (product, view) {
  var rest = Array.prototype.slice.call(arguments, 2).map(encodeURIComponent);
  return "#/p/" + [encodeURIComponent(product), view].concat(rest).join("/");
};

PB.showBanner = function (text, kind) {
  var b = document.getElementById("banner");
  b.textContent = text || "";
  b.className = "banner " + (kind || "error") + (text ? "" : " hidden");
};

PB.errorText = function (err) {
  if (err instanceof PB.ApiError) {
    if (err.status === 503) return "The database cannot answer now; try again in a moment.";
    if (err.status === 403 && err.code === "scope") return "This sign-in may not do that.";
    return err.message;
  }
  return String(err && err.message || err);
};

// Confirmation in the page's own dialog. opts: {title, text, extra
// (element or null), ok (button text), danger, action() -> Promise}. The
// dialog stays open with the error when the action fails.
PB.confirm = function (opts) {
  var dlg = document.getElementById("confirm");
  document.getElementById("confirm-title").textContent = opts.title;
  document.getElementById("confirm-text").textContent = opts.text;
  var extra = PB.clear(document.getElementById("confirm-extra"));
  if (opts.extra) extra.appendChild(opts.extra);
  var errorEl = document.getElementById("confirm-error");
  errorEl.textContent = "";
  var ok = document.getElementById("confirm-ok");
  ok.textContent = opts.ok || "Confirm";
  ok.className = opts.danger ? "danger" : "primary";
  ok.disabled = false;
  var form = document.getElementById("confirm-form");
  form.onsubmit = function (ev) {
    ev.preventDefault();
    ok.disabled = true;
    errorEl.textContent = "";
    Promise.resolve().then(opts.action).then(function () {
      dlg.close();
    }, function (err) {
      ok.disabled = false;
      errorEl.textContent = PB.errorText(err);
    });
  };
  document.getElementById("confirm-cancel").onclick = function () { dlg.close(); };
  dlg.showModal();
  var first = extra.querySelector("input");
  (first || ok).focus();
};

function setHeader(view, product) {
  var top = document.getElementById("top");
  top.classList.toggle("hidden", !PB.session);
  if (!PB.session) return;
  document.getElementById("who").textContent = PB.session.admin;
  var select = document.getElementById("product");
  PB.clear(select);
  PB.products.forEach(function (p) {
    select.appendChild(PB.h("option", {value: p.name, selected: p.name === product}, p.name));
  });
  select.closest("label").classList.toggle("hidden", PB.products.length < 2);
  var shown = product || (PB.products[0] && PB.products[0].name);
  Array.prototype.forEach.call(document.querySelectorAll("#nav a"), function (a) {
    var v = a.dataset.view;
    if (v !== "audit") a.href = shown ? PB.productHash(shown, v) : "#/";
    a.classList.toggle("active", v === view || (v === "licenses" && view === "license"));
  });
}

function parseHash() {
  var hash = location.hash.replace(/^#/, "") || "/";
  var q = hash.indexOf("?");
  var query = PB.parseQuery(q < 0 ? "" : hash.slice(q + 1));
  var parts = (q < 0 ? hash : hash.slice(0, q)).split("/").filter(Boolean).map(function (p) {
    try { return decodeURIComponent(p); } catch (e) { return p; }
  });
  return {parts: parts, query: query};
}

PB.route = function () {
  if (current.cleanup) { try { current.cleanup(); } catch (e) { /* a view's own */ } }
  current.cleanup = null;
  var token = ++current.token;
  PB.showBanner("");
  var r = parseHash();
  var view, product = null, args = [];
  if (!PB.session) {
    if (r.parts[0] !== "signin") afterSignIn = location.hash;
    view = "signin";
  } else if (r.parts[0] === "p" && r.parts.length >= 3) {
    product = r.parts[1];
    view = r.parts[2];
    args = r.parts.slice(3);
  } else if (r.parts[0] === "audit") {
    view = "audit";
  } else if (PB.products.length) {
    PB.go(PB.productHash(PB.products[0].name, "licenses"));
    return;
  } else {
    view = "noproducts";
  }
  if (!PB.views[view]) view = "notfound";
  setHeader(view, product);
  var el = PB.clear(document.getElementById("view"));
  el.className = "view-" + view;
  var ctx = {
    el: el, product: product, args: args, query: r.query,
    alive: function () { return token === current.token; },
    fail: function (err) { if (token === current.token) PB.showBanner(PB.errorText(err)); }
  };
  current.cleanup = PB.views[view](ctx) || null;
};

PB.views.notfound = function (ctx) {
  ctx.el.appendChild(PB.h("p", null, "No such page. ", PB.h("a", {href: "#/"}, "Licenses")));
};

PB.views.noproducts = function (ctx) {
  ctx.el.appendChild(PB.h("p", null,
    "No product yet. Add one with: parambridge-server --db FILE product add NAME --base-path /NAME/"));
};

PB.views.signin = function (ctx) {
  var name = PB.h("input", {id: "signin-name", name: "name", autocomplete: "username", required: true});
  var password = PB.h("input", {id: "signin-password", name: "password", type: "password",
                                autocomplete: "current-password", required: true});
  var error = PB.h("p", {id: "signin-error", class: "error", role: "alert"});
  var button = PB.h("button", {id: "signin-submit", type: "submit", class: "primary"}, "Sign in");
  var form = PB.h("form", {class: "signin", onsubmit: function (ev) {
    ev.preventDefault();
    error.textContent = "";
    button.disabled = true;
    PB.api("POST", "/session", null, {name: name.value, password: password.value}).then(function (s) {
      PB.session = s;
      password.value = "";
      return start(afterSignIn && afterSignIn.indexOf("#/signin") !== 0 ? afterSignIn : "#/");
    }).catch(function (err) {
      button.disabled = false;
      if (!ctx.alive()) return;
      if (err.status === 401) error.textContent = "Wrong name or password.";
      else if (err.status === 429) {
        var wait = parseInt(err.retryAfter, 10);
        error.textContent = "Too many attempts. Try again " +
          (wait > 0 ? "in " + (wait >= 120 ? Math.ceil(wait / 60) + " minutes" : wait + " seconds") : "later") + ".";
      } else error.textContent = PB.errorText(err);
      password.select();
    });
  }},
    PB.h("h1", null, "parambridge-server"),
    PB.h("label", null, "Name", name),
    PB.h("label", null, "Password", password),
    button, error);
  ctx.el.appendChild(form);
  name.focus();
};

// Loads the products, then shows `hash`.
function start(hash) {
  return PB.api("GET", "/products").then(function (data) {
    PB.products = data.products || [];
    PB.go(hash || "#/");
  });
}

PB.onSessionLost = function () {
  PB.session = null;
  PB.route();
  PB.showBanner("Your session has ended; sign in again.", "info");
};

document.addEventListener("DOMContentLoaded", function () {
  window.addEventListener("hashchange", PB.route);
  document.getElementById("product").addEventListener("change", function (ev) {
    var r = parseHash();
    var view = r.parts[0] === "p" ? r.parts[2] : "licenses";
    if (view === "license") view = "licenses";
    PB.go(PB.productHash(ev.target.value, view === "sets" ? "sets" : view));
  });
  document.getElementById("signout").addEventListener("click", function () {
    PB.api("DELETE", "/session").catch(function () { /* signed out either way */ }).then(function () {
      PB.session = null;
      PB.go("#/signin");
    });
  });
  PB.api("GET", "/session").then(function (s) {
    PB.session = s;
    return start(location.hash);
  }, function () {
    PB.route();
  }).catch(function (err) {
    PB.route();
    PB.showBanner(PB.errorText(err));
  });
});
