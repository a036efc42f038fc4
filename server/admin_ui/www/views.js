// The list views: a product's licenses, the live fetch log, the charts and
// the audit log. (A license's page: license_view.js; sets: sets_view.js.)
"use strict";
var PB = window.PB || (window.PB = {});
PB.views = PB.views || {};

(function () {
  var h = PB.h;
  var PAGE = 50;
  var LIVE_POLL_MS = 3000;

  function table(id, headings, rows, empty) {
    var body = h("tbody", null, rows);
    if (!rows.length) body.appendChild(h("tr", null, h("td", {colspan: headings.length, class: "empty"}, empty)));
    return h("table", {id: id, class: "grid"},
      h("thead", null, h("tr", null, headings.map(function (t) { return h("th", null, t); }))), body);
  }

  function stateBadge(state) {
    return h("span", {class: "badge state-" + state}, state);
  }

  function statusCell(status) {
    return h("span", {class: PB.statusClass(status)}, PB.statusText(status));
  }

  function accountsText(accounts, shown) {
    if (accounts.length <= shown) return accounts.join(", ");
    return accounts.slice(0, shown).join(", ") + " +" + (accounts.length - shown);
  }

  function expiresCell(expires) {
    if (!expires) return h("span", {class: "muted"}, "never");
    var days = PB.daysUntil(expires);
    var cls = days < 0 ? "st-refused" : (days <= 14 ? "warn" : "");
    return h("span", {class: cls, title: days < 0 ? "expired" : "in " + days + " days"}, expires);
  }

  function fetchCell(f) {
    if (!f) return h("span", {class: "muted"}, "none");
    return [PB.formatTime(f.time), " ", statusCell(f.status)];
  }

  // The filters as the list route takes them.
  function licenseQuery(f) {
    return {q: f.q || undefined, state: f.state || undefined, expiring_days: f.expiring ? 14 : undefined};
  }

  PB.views.licenses = function (ctx) {
    var product = ctx.product;
    var filters = {q: ctx.query.q || "", state: ctx.query.state || "", expiring: ctx.query.expiring === "1"};
    var cursors = [null];   // the `after` of each page shown so far
    var next = null;
    var search = h("input", {id: "search", type: "search", value: filters.q, placeholder: "id, account or note",
                             "aria-label": "Search"});
    var state = h("select", {id: "state-filter", "aria-label": "State"},
      ["", "active", "suspended", "revoked"].map(function (s) {
        return h("option", {value: s, selected: s === filters.state}, s || "any state");
      }));
    var expiring = h("input", {id: "expiring-filter", type: "checkbox", checked: filters.expiring});
    var exportButton = h("button", {id: "export-csv", type: "button"}, "Export CSV");
    var holder = h("div", {class: "table-holder"});
    var prev = h("button", {id: "page-prev", type: "button"}, "\u2190 Previous");
    var nextButton = h("button", {id: "page-next", type: "button"}, "Next \u2192");
    var pageInfo = h("span", {class: "muted"});
    ctx.el.appendChild(h("h1", null, "Licenses of " + product));
    ctx.el.appendChild(h("div", {class: "toolbar"}, search, state,
      h("label", {class: "check"}, expiring, "expiring within 14 days"), h("span", {class: "grow"}), exportButton));
    ctx.el.appendChild(holder);
    ctx.el.appendChild(h("div", {class: "pager"}, prev, pageInfo, nextButton));

    var loads = 0;   // only the latest request draws the table
    function load() {
      var q = licenseQuery(filters);
      q.limit = PAGE;
      q.after = cursors[cursors.length - 1] || undefined;
      var mine = ++loads;
      PB.api("GET", PB.productPath(product, "licenses"), q).then(function (data) {
        if (!ctx.alive() || mine !== loads) return;
        next = data.next;
        var rows = data.licenses.map(function (l) {
          return h("tr", {dataset: {id: l.id}},
            h("td", null, h("a", {href: PB.productHash(product, "license", l.id)}, l.id)),
            h("td", null, stateBadge(l.state)),
            h("td", {class: "accounts"}, accountsText(l.accounts, 3)),
            h("td", null, expiresCell(l.expires)),
            h("td", null, l.set),
            h("td", null, fetchCell(l.last_fetch)));
        });
        PB.clear(holder).appendChild(table("licenses-table",
          ["Id", "State", "Accounts", "Expires", "Set", "Last fetch"], rows, "No license matches."));
        prev.disabled = cursors.length < 2;
        nextButton.disabled = !next;
        pageInfo.textContent = "page " + cursors.length;
      }, ctx.fail);
    }

    function filtersChanged() {
      filters = {q: search.value.trim(), state: state.value, expiring: expiring.checked};
      var qs = PB.buildQuery({q: filters.q, state: filters.state, expiring: filters.expiring ? "1" : ""});
      history.replaceState(null, "", PB.productHash(product, "licenses") + (qs ? "?" + qs : ""));
      cursors = [null];
      load();
    }

    var typing = null;
    search.addEventListener("input", function () {
      clearTimeout(typing);
      typing = setTimeout(filtersChanged, 250);
    });
    state.addEventListener("change", filtersChanged);
    expiring.addEventListener("change", filtersChanged);
    prev.addEventListener("click", function () { cursors.pop(); load(); });
    nextButton.addEventListener("click", function () { if (next) { cursors.push(next); load(); } });
    exportButton.addEventListener("click", function () {
      exportButton.disabled = true;
      var q = licenseQuery(filters);
      q.limit = 500;
      PB.fetchAll(PB.productPath(product, "licenses"), q, "licenses", "after", 2000).then(function (all) {
        PB.download(product + "-licenses.csv", PB.licensesCsv(all));
      }).catch(ctx.fail).then(function () { exportButton.disabled = false; });
    });
    load();
    return function () { clearTimeout(typing); };
  };

  // The columns `import` reads (id, accounts, set, types, expires,
  // max_accounts, state, note), then the last fetch.
  PB.licensesCsv = function (licenses) {
    var rows = [["id", "state", "accounts", "max_accounts", "expires", "types", "set", "note",
                 "last_fetch_time", "last_fetch_account", "last_fetch_status"]];
    licenses.forEach(function (l) {
      var f = l.last_fetch;
      rows.push([l.id, l.state, l.accounts.join(","), l.max_accounts, l.expires || "",
                 l.types && l.types.length ? l.types.join(",") : "all", l.set, l.note || "",
                 f ? f.time : "", f ? f.account : "", f ? f.status : ""]);
    });
    return PB.csv(rows);
  };

  PB.fetchRows = function (fetches, product, withAccountLinks) {
    return fetches.map(function (f) {
      return h("tr", {class: f.status === 100 ? "" : "refusal"},
        h("td", null, PB.formatTime(f.time)),
        h("td", null, withAccountLinks
          ? h("a", {href: PB.productHash(product, "licenses") + "?q=" + encodeURIComponent(f.account)}, f.account)
          : f.account),
        h("td", null, String(f.account_type)),
        h("td", null, statusCell(f.status)),
        h("td", null, f.peer + (f.https ? " (https)" : "")),
        h("td", {class: "num"}, (f.micros / 1000).toFixed(1) + " ms"));
    });
  };
  PB.FETCH_HEADINGS = ["Time (UTC)", "Account", "Type", "Status", "Peer", "Took"];

  PB.views.live = function (ctx) {
    var product = ctx.product;
    var timer = null;
    var stamp = h("span", {class: "muted"});
    var all = h("div");
    var refusals = h("div");
    ctx.el.appendChild(h("h1", null, "Live: " + product, " ", stamp));
    ctx.el.appendChild(h("div", {class: "columns"},
      h("section", null, h("h2", null, "Latest fetches"), all),
      h("section", null, h("h2", null, "Latest refusals"), refusals)));

    function poll() {
      PB.api("GET", PB.productPath(product, "log"), {limit: 200}).then(function (data) {
        if (!ctx.alive()) return;
        var rows = data.fetches || [];
        PB.clear(all).appendChild(table("live-fetches", PB.FETCH_HEADINGS,
          PB.fetchRows(rows.slice(0, 25), product, true), "No fetch yet."));
        PB.clear(refusals).appendChild(table("live-refusals", PB.FETCH_HEADINGS,
          PB.fetchRows(rows.filter(function (f) { return f.status !== 100; }).slice(0, 25), product, true),
          "No refusal among the latest 200 fetches."));
        stamp.textContent = "updated " + new Date().toISOString().slice(11, 19) + " UTC";
        PB.showBanner("");
      }, ctx.fail).then(function () {
        if (ctx.alive()) timer = setTimeout(poll, LIVE_POLL_MS);
      });
    }
    poll();
    return function () { clearTimeout(timer); };
  };

  PB.views.charts = function (ctx) {
    var product = ctx.product;
    var hours = parseInt(ctx.query.hours, 10) || 72;
    var picker = h("select", {id: "chart-hours", "aria-label": "Period"},
      [[24, "last day"], [72, "last 3 days"], [168, "last 7 days"], [720, "last 30 days"]].map(function (o) {
        return h("option", {value: o[0], selected: o[0] === hours}, o[1]);
      }));
    var perHour = h("div", {id: "chart-hourly"});
    var byReason = h("div", {id: "chart-reasons"});
    var totals = h("p", {class: "muted"});
    ctx.el.appendChild(h("h1", null, "Charts: " + product));
    ctx.el.appendChild(h("div", {class: "toolbar"}, picker, totals));
    ctx.el.appendChild(h("section", null, h("h2", null, "Fetches per hour (UTC)"),
      h("p", {class: "legend"}, h("span", {class: "key bar-ok"}), "granted ", h("span", {class: "key bar-refused"}), "refused or failed"),
      perHour));
    ctx.el.appendChild(h("section", null, h("h2", null, "Refusals by reason"), byReason));
    picker.addEventListener("change", function () {
      PB.go(PB.productHash(product, "charts") + "?hours=" + picker.value);
    });
    PB.api("GET", PB.productPath(product, "stats"), {hours: hours}).then(function (data) {
      if (!ctx.alive()) return;
      var list = data.hours || [];
      var total = list.reduce(function (n, x) { return n + x.fetches; }, 0);
      var refused = Object.keys(data.refusals_by_status || {}).reduce(function (n, k) {
        return n + data.refusals_by_status[k];
      }, 0);
      totals.textContent = total + " fetches, " + refused + " refusals";
      perHour.appendChild(PB.charts.hourBars(list));
      byReason.appendChild(PB.charts.reasonBars(data.refusals_by_status || {}));
    }, ctx.fail);
  };

  // An audit row's detail (an object, or JSON text of one) as
  // "key: value, ..." without the empty ones; other text as it is.
  PB.detailText = function (detail) {
    if (detail === null || detail === undefined) return "";
    if (typeof detail === "string" && detail.charAt(0) === "{") {
      try { detail = JSON.parse(detail); } catch (e) { return detail; }
    }
    if (typeof detail !== "object") return String(detail);
    return Object.keys(detail).filter(function (k) {
      var v = detail[k];
      return v !== "" && v !== null && !(typeof v === "object" && Object.keys(v).length === 0);
    }).map(function (k) {
      var v = detail[k];
      if (Array.isArray(v)) v = v.map(function (x) { return typeof x === "object" ? JSON.stringify(x) : x; }).join(",");
      else if (typeof v === "object") v = JSON.stringify(v);
      return k + ": " + v;
    }).join(", ");
  };

  // At most 160 characters shown; the whole text as the cell's title.
  function detailCell(text) {
    return h("td", {class: "detail", title: text.length > 160 ? text : null},
      text.length > 160 ? text.slice(0, 159) + "\u2026" : text);
  }

  PB.views.audit = function (ctx) {
    var product = ctx.query.product || "";
    var cursors = [null];
    var next = null;
    var picker = h("select", {id: "audit-product", "aria-label": "Product"},
      h("option", {value: ""}, "every product"),
      PB.products.map(function (p) { return h("option", {value: p.name, selected: p.name === product}, p.name); }));
    var holder = h("div", {class: "table-holder"});
    var prev = h("button", {id: "audit-newer", type: "button"}, "\u2190 Newer");
    var nextButton = h("button", {id: "audit-older", type: "button"}, "Older \u2192");
    ctx.el.appendChild(h("h1", null, "Audit log"));
    ctx.el.appendChild(h("div", {class: "toolbar"}, picker));
    ctx.el.appendChild(holder);
    ctx.el.appendChild(h("div", {class: "pager"}, prev, nextButton));
    picker.addEventListener("change", function () {
      PB.go("#/audit" + (picker.value ? "?product=" + encodeURIComponent(picker.value) : ""));
    });

    function load() {
      PB.api("GET", "/audit", {product: product || undefined, limit: PAGE,
                               before: cursors[cursors.length - 1] || undefined}).then(function (data) {
        if (!ctx.alive()) return;
        next = data.next;
        var rows = (data.audit || []).map(function (a) {
          var subject = a.product && a.subject && a.action.indexOf("license") === 0
            ? h("a", {href: PB.productHash(a.product, "license", a.subject)}, a.subject) : (a.subject || "");
          return h("tr", null,
            h("td", null, PB.formatTime(a.time)), h("td", null, a.actor), h("td", null, a.via),
            h("td", null, a.peer || ""), h("td", {class: "action"}, a.action), h("td", null, a.product || ""),
            h("td", null, subject), detailCell(PB.detailText(a.detail)));
        });
        PB.clear(holder).appendChild(table("audit-table",
          ["Time (UTC)", "Actor", "Via", "Peer", "Action", "Product", "Subject", "Detail"], rows, "Nothing yet."));
        prev.disabled = cursors.length < 2;
        nextButton.disabled = next === null || next === undefined;
      }, ctx.fail);
    }
    prev.addEventListener("click", function () { cursors.pop(); load(); });
    nextButton.addEventListener("click", function () { cursors.push(next); load(); });
    load();
  };
})();
