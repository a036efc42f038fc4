// A license's page: what it holds, its fetch history and what each fetch
// was told, and the actions (suspend, resume, revoke, extend), each behind
// the page's confirmation dialog.
"use strict";
var PB = window.PB || (window.PB = {});
PB.views = PB.views || {};

(function () {
  var h = PB.h;

  // What each action does, for the dialog.
  var ACTIONS = {
    suspend: {title: "Suspend license", ok: "Suspend", danger: true,
              text: "Its accounts will be told 204 (suspended) until it is resumed."},
    resume: {title: "Resume license", ok: "Resume",
             text: "Its accounts will be granted again (unless it has expired)."},
    revoke: {title: "Revoke license", ok: "Revoke", danger: true,
             text: "Its accounts will be told 205 (revoked). A revoked license can be resumed, but its customer sees the refusal at once."},
    extend: {title: "Extend license", ok: "Extend",
             text: "Give a number of days (from the later of today and the current expiry) or a date."}
  };

  function field(label, value) {
    return [h("dt", null, label), h("dd", null, value)];
  }

  PB.views.license = function (ctx) {
    var product = ctx.product;
    var id = ctx.args.join("/");
    var path = PB.productPath(product, "licenses", id);

    function render(data) {
      var l = data.license;
      var el = PB.clear(ctx.el);
      el.appendChild(h("p", {class: "crumbs"},
        h("a", {href: PB.productHash(product, "licenses")}, "Licenses"), " / ", l.id));
      el.appendChild(h("h1", null, "License ", h("span", {id: "license-id"}, l.id), " ",
        h("span", {id: "license-state", class: "badge state-" + l.state}, l.state)));
      var actions = h("div", {class: "toolbar actions"});
      ["suspend", "resume", "revoke", "extend"].forEach(function (a) {
        var disabled = (a === "suspend" && l.state !== "active") || (a === "resume" && l.state === "active") ||
                       (a === "revoke" && l.state === "revoked");
        actions.appendChild(h("button", {type: "button", dataset: {action: a}, disabled: disabled,
                                         class: ACTIONS[a].danger ? "danger-outline" : "",
                                         onclick: function () { act(a, l); }}, ACTIONS[a].ok));
      });
      el.appendChild(actions);
      var days = l.expires ? PB.daysUntil(l.expires) : null;
      el.appendChild(h("dl", {class: "facts"},
        field("Accounts", l.accounts.length
          ? h("ul", {id: "license-accounts", class: "plain"}, l.accounts.map(function (a) { return h("li", null, a); }))
          : h("span", {class: "muted"}, "none yet")),
        field("Max accounts", String(l.max_accounts)),
        field("Account types", l.types && l.types.length ? l.types.join(", ") : "all"),
        field("Set", h("a", {href: PB.productHash(product, "sets", l.set)}, l.set)),
        field("Overrides", l.overrides && l.overrides.length
          ? h("table", {class: "grid compact"}, h("tbody", null, l.overrides.map(function (o) {
              return h("tr", null, h("td", null, o.name), h("td", null, o.value));
            })))
          : h("span", {class: "muted"}, "none")),
        field("Expires", l.expires
          ? [l.expires, " ", h("span", {class: days < 0 ? "st-refused" : (days <= 14 ? "warn" : "muted")},
              days < 0 ? "(expired " + (-days) + " days ago)" : "(in " + days + " days)")]
          : h("span", {class: "muted"}, "never")),
        field("Note", l.note ? h("span", {class: "note"}, l.note) : h("span", {class: "muted"}, "none"))));
      el.appendChild(h("h2", null, "Fetches (latest 100 of its accounts)"));
      var fetches = data.fetches || [];
      var body = h("tbody", null, fetches.map(function (f) {
        return h("tr", {class: f.status === 100 ? "" : "refusal"},
          h("td", null, PB.formatTime(f.time)), h("td", null, f.account), h("td", null, String(f.account_type)),
          h("td", null, h("span", {class: PB.statusClass(f.status)}, String(f.status))),
          h("td", null, PB.STATUS_MEANINGS[f.status] || "other"),
          h("td", null, f.peer + (f.https ? " (https)" : "")));
      }));
      if (!fetches.length) body.appendChild(h("tr", null, h("td", {colspan: 6, class: "empty"}, "No fetch yet.")));
      el.appendChild(h("table", {id: "license-fetches", class: "grid"},
        h("thead", null, h("tr", null, ["Time (UTC)", "Account", "Type", "Status", "Told", "Peer"].map(function (t) {
          return h("th", null, t);
        }))), body));
    }

    function act(action, l) {
      var info = ACTIONS[action];
      var extra = null, daysInput = null, dateInput = null, reasonInput = null;
      if (action !== "extend") {
        reasonInput = h("input", {id: "action-reason", maxlength: 500, placeholder: "e.g. refund of order 1234"});
        extra = h("label", {class: "reason"}, "Reason (optional, for the audit log) ", reasonInput);
      } else {
        daysInput = h("input", {id: "extend-days", type: "number", min: 1, max: 36500, value: 30});
        dateInput = h("input", {id: "extend-date", type: "date"});
        extra = h("div", {class: "extend"}, h("label", null, "Days ", daysInput),
          h("span", {class: "muted"}, " or "), h("label", null, "Until ", dateInput));
      }
      PB.confirm({
        title: info.title + " " + l.id, text: info.text, extra: extra, ok: info.ok, danger: info.danger,
        action: function () {
          var body;
          if (action === "extend") {
            if (dateInput.value) body = {expires: dateInput.value};
            else {
              var n = parseInt(daysInput.value, 10);
              if (!(n >= 1)) return Promise.reject(new Error("Give at least one day, or a date."));
              body = {days: n};
            }
          } else if (reasonInput.value.trim()) {
            body = {reason: reasonInput.value.trim()};
          }
          return PB.api("POST", path + "/" + action, null, body || {}).then(function () {
            return load();
          });
        }
      });
    }

    function load() {
      return PB.api("GET", path).then(function (data) {
        if (ctx.alive()) render(data);
      }, function (err) {
        if (err.status === 404 && ctx.alive()) {
          PB.clear(ctx.el).appendChild(h("p", null, "No license " + id + " in " + product + ". ",
            h("a", {href: PB.productHash(product, "licenses")}, "Licenses")));
          return;
        }
        ctx.fail(err);
      });
    }
    load();
  };
})();
