// The sets: the list of a product's sets and the editor of one set's
// name=value rows, checked as the vendor types (rules.js) and again by the
// server on save (its 400 is shown on the row it names).
"use strict";
var PB = window.PB || (window.PB = {});
PB.views = PB.views || {};

(function () {
  var h = PB.h;

  PB.views.sets = function (ctx) {
    if (ctx.args.length) return editor(ctx, ctx.args.join("/"));
    var product = ctx.product;
    var list = h("ul", {id: "set-list", class: "set-list"});
    var newName = h("input", {id: "new-set-name", placeholder: "new set name", "aria-label": "New set name"});
    var newError = h("span", {class: "error"});
    ctx.el.appendChild(h("h1", null, "Sets of " + product));
    ctx.el.appendChild(list);
    ctx.el.appendChild(h("form", {class: "toolbar", onsubmit: function (ev) {
      ev.preventDefault();
      var problem = PB.rules.checkSetName(newName.value);
      newError.textContent = problem || "";
      if (!problem) PB.go(PB.productHash(product, "sets", newName.value) + "?new=1");
    }}, newName, h("button", {type: "submit"}, "New set"), newError));
    PB.api("GET", PB.productPath(product, "sets")).then(function (data) {
      if (!ctx.alive()) return;
      (data.sets || []).forEach(function (name) {
        list.appendChild(h("li", null, h("a", {href: PB.productHash(product, "sets", name)}, name)));
      });
      if (!data.sets || !data.sets.length) list.appendChild(h("li", {class: "muted"}, "No set yet."));
    }, ctx.fail);
  };

  // The names a server message quotes ("name"), so that its 400 can be
  // shown on the row it is about.
  function quotedNames(message) {
    var out = [], re = /"((?:[^"\\]|\\.)*)"/g, m;
    while ((m = re.exec(message))) out.push(m[1]);
    return out;
  }

  function editor(ctx, setName) {
    var product = ctx.product;
    var rowsBody = h("tbody");
    var summary = h("p", {id: "set-summary", class: "muted"});
    var setError = h("p", {id: "set-error", class: "error"});
    var saved = h("span", {id: "set-saved", class: "ok"});
    var save = h("button", {id: "set-save", type: "button", class: "primary"}, "Save");
    var add = h("button", {id: "set-add-row", type: "button"}, "Add row");
    var rows = [];   // [{tr, name, value, error}]

    ctx.el.appendChild(h("p", {class: "crumbs"},
      h("a", {href: PB.productHash(product, "sets")}, "Sets"), " / ", setName));
    ctx.el.appendChild(h("h1", null, "Set ", h("span", {id: "set-name"}, setName)));
    ctx.el.appendChild(h("table", {id: "set-rows", class: "grid editor"},
      h("thead", null, h("tr", null, h("th", null, "Name"), h("th", null, "Value"), h("th", null, ""),
        h("th", null, "Problem"))), rowsBody));
    ctx.el.appendChild(summary);
    ctx.el.appendChild(setError);
    ctx.el.appendChild(h("div", {class: "toolbar"}, add, save, saved));

    function pairs() {
      return rows.map(function (r) { return {name: r.name.value, value: r.value.value}; });
    }

    // Checks every row; returns true when the set may be saved.
    function check() {
      var result = PB.rules.checkPairs(pairs());
      rows.forEach(function (r, i) {
        var problem = result.rows[i];
        r.error.textContent = problem || "";
        r.tr.classList.toggle("invalid", !!problem);
      });
      setError.textContent = result.set || "";
      summary.textContent = rows.length + " parameters, a reply of " + result.bytes + " of " +
        PB.rules.MAX_REPLY_TEXT + " bytes";
      var ok = !result.set && result.rows.every(function (p) { return !p; });
      save.disabled = !ok;
      return ok;
    }

    function addRow(name, value) {
      var r = {
        name: h("input", {class: "pair-name", value: name, "aria-label": "Name", spellcheck: "false"}),
        value: h("input", {class: "pair-value", value: value, "aria-label": "Value", spellcheck: "false"}),
        error: h("span", {class: "error pair-error"})
      };
      var remove = h("button", {type: "button", class: "link", title: "Remove this row"}, "Remove");
      r.tr = h("tr", null, h("td", null, r.name), h("td", null, r.value), h("td", null, remove), h("td", null, r.error));
      remove.addEventListener("click", function () {
        rows.splice(rows.indexOf(r), 1);
        rowsBody.removeChild(r.tr);
        saved.textContent = "";
        check();
      });
      [r.name, r.value].forEach(function (input) {
        input.addEventListener("input", function () { saved.textContent = ""; check(); });
      });
      rows.push(r);
      rowsBody.appendChild(r.tr);
      return r;
    }

    function show(pairList) {
      rows = [];
      PB.clear(rowsBody);
      pairList.forEach(function (p) { addRow(p.name, p.value); });
      check();
    }

    add.addEventListener("click", function () {
      addRow("", "").name.focus();
      check();
    });

    save.addEventListener("click", function () {
      if (!check()) return;
      save.disabled = true;
      PB.api("PUT", PB.productPath(product, "sets", setName), null, {pairs: pairs()}).then(function (data) {
        if (!ctx.alive()) return;
        show(data.pairs || []);
        saved.textContent = "Saved.";
        if (ctx.query.new) history.replaceState(null, "", PB.productHash(product, "sets", setName));
      }, function (err) {
        if (!ctx.alive()) return;
        check();
        if (err.status !== 400) { ctx.fail(err); return; }
        // Shown on the row the server names, else under the table.
        var names = quotedNames(err.message);
        var row = rows.filter(function (r) { return names.indexOf(r.name.value) >= 0; })[0];
        if (row) {
          row.error.textContent = err.message;
          row.tr.classList.add("invalid");
        } else {
          setError.textContent = err.message;
        }
      });
    });

    PB.api("GET", PB.productPath(product, "sets", setName)).then(function (data) {
      if (ctx.alive()) show(data.pairs || []);
    }, function (err) {
      if (!ctx.alive()) return;
      if (err.status === 404 && ctx.query.new) { show([{name: "", value: ""}]); return; }
      if (err.status === 404) {
        PB.clear(ctx.el).appendChild(h("p", null, "No set " + setName + " in " + product + ". ",
          h("a", {href: PB.productHash(product, "sets")}, "Sets")));
        return;
      }
      ctx.fail(err);
    });
  }
})();
