#include "server/cli/command_line.h"

#include <CLI/CLI.hpp>

#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "server/admin/credentials.h"
#include "server/cli/admin_commands.h"
#include "server/cli/output.h"
#include "server/cli/pin.h"
#include "server/cli/serve_command.h"
#include "server/core/dates.h"
#include "server/core/import.h"
#include "server/core/rules.h"
#include "server/db/database.h"
#include "server/db/sqlite_admin_store.h"

namespace pbs::cli {
namespace {

constexpr int kDone = 0, kRefused = 1, kUsage = 2, kUnavailable = 3;
constexpr std::size_t kMaxImportBytes = 64u << 20;

// A bad command line: exit status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::optional<Date> ExpiresArg(const std::string& text) {
  if (text == "never") return std::nullopt;
  const std::optional<Date> date = ParseDate(text);
  if (!date) throw UsageError("--expires takes YYYY-MM-DD or never, not \"" + text + "\"");
  return date;
}

std::vector<int32_t> TypesArg(const std::string& text) {
  const auto types = ParseTypes(text);
  if (!types) throw UsageError("--types takes all or 32-bit integers separated by ',', not \"" + text + "\"");
  return *types;
}

std::vector<std::string> AccountsArg(const std::string& option, const std::string& text) {
  std::string problem;
  const auto accounts = ParseAccountList(text, &problem);
  if (!accounts) throw Refused(option + ": " + problem);
  return *accounts;
}

Pair PairArg(const std::string& text) {
  if (text.find('=') == std::string::npos) throw UsageError("\"" + text + "\" is not name=value");
  std::string problem;
  const std::optional<Pair> pair = SplitPairArgument(text, &problem);
  if (!pair) throw Refused(problem);
  return *pair;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Refused("cannot read " + path);
  std::string text;
  char buf[65536];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    text.append(buf, static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxImportBytes) throw Refused(path + " is larger than 64 MiB");
  }
  return text;
}

void Say(const std::string& line) { std::cout << line << "\n"; }

// Every command's arguments, filled by CLI11.
struct Args {
  std::string db;
  std::string product, id, set, text, file, out, account, since, cert, accounts, types, expires, note;
  std::string add_accounts, remove_accounts;
  std::string name, password_file, scope = "read", label;
  int64_t token_id = 0;
  std::vector<std::string> pairs, overrides, clear_overrides;
  int status = 0;
  int64_t days = 0, per_hour = 20, max_accounts = 0, limit = 0, max_rows = 0;
  bool json = false;
  ServeOptions serve;
  int http_port = 80, https_port = 443;
};

}  // namespace

int Run(int argc, char** argv) {
  CLI::App app{"parambridge-server: licenses, parameter sets and the fetch log of a vendor's products, "
               "and the server that answers the DLL's fetches"};
  app.name("parambridge-server");
  Args a;
  app.add_option("--db", a.db, "the database file (SQLite)");
  app.require_subcommand(1);

  auto json_flag = [&](CLI::App* cmd) { cmd->add_flag("--json", a.json, "print one JSON document"); };

  CLI::App* init = app.add_subcommand("init", "make the database (or migrate it forward)");

  CLI::App* product = app.add_subcommand("product", "products: their base path, trials and refusal texts");
  product->require_subcommand(1);
  CLI::App* product_add = product->add_subcommand("add", "add a product served at BASE-PATH/run/");
  product_add->add_option("PRODUCT", a.product)->required();
  product_add->add_option("--base-path", a.text, "e.g. /pb/ (begins and ends with '/')")->required();
  CLI::App* product_trial = product->add_subcommand("trial", "give accounts on no license a trial (--days 0: off)");
  product_trial->add_option("PRODUCT", a.product)->required();
  product_trial->add_option("--days", a.days, "trial length in days; 0 turns trials off")->required();
  CLI::Option* trial_set = product_trial->add_option("--set", a.set, "the set a trial gets");
  CLI::Option* trial_per_hour =
      product_trial->add_option("--per-hour", a.per_hour, "new trials an hour at most (default 20)");
  CLI::App* product_text = product->add_subcommand("text", "reword the refusal text of STATUS (201..205)");
  product_text->add_option("PRODUCT", a.product)->required();
  product_text->add_option("STATUS", a.status)->required();
  product_text->add_option("TEXT", a.text, "the text; {date} in the 203 text names the expiry date")->required();
  CLI::App* product_show = product->add_subcommand("show", "show a product");
  product_show->add_option("PRODUCT", a.product)->required();
  json_flag(product_show);
  CLI::App* product_list = product->add_subcommand("list", "list the products");
  json_flag(product_list);

  CLI::App* set = app.add_subcommand("set", "parameter sets: ordered name=value lists");
  set->require_subcommand(1);
  CLI::App* set_put = set->add_subcommand("put", "create or replace a set");
  set_put->add_option("PRODUCT", a.product)->required();
  set_put->add_option("SET", a.set)->required();
  set_put->add_option("PAIRS", a.pairs, "name=value ...");
  CLI::App* set_show = set->add_subcommand("show", "show a set");
  set_show->add_option("PRODUCT", a.product)->required();
  set_show->add_option("SET", a.set)->required();
  json_flag(set_show);
  CLI::App* set_list = set->add_subcommand("list", "list a product's sets");
  set_list->add_option("PRODUCT", a.product)->required();
  json_flag(set_list);

  CLI::App* license = app.add_subcommand("license", "licenses: accounts, state, expiry, types, set");
  license->require_subcommand(1);
  CLI::App* license_add = license->add_subcommand("add", "add a license");
  license_add->add_option("PRODUCT", a.product)->required();
  license_add->add_option("ID", a.id, "the license's id, e.g. the order number")->required();
  license_add->add_option("--set", a.set)->required();
  license_add->add_option("--accounts", a.accounts, "A,B,...");
  CLI::Option* add_max = license_add->add_option("--max-accounts", a.max_accounts,
                                                 "accounts the license may hold (default 10000)");
  CLI::Option* add_types = license_add->add_option("--types", a.types, "T,U,... or all (default)");
  CLI::Option* add_expires = license_add->add_option("--expires", a.expires, "YYYY-MM-DD or never (default)");
  license_add->add_option("--note", a.note);

  CLI::App* license_update = license->add_subcommand("update", "change a license");
  license_update->add_option("PRODUCT", a.product)->required();
  license_update->add_option("ID", a.id)->required();
  CLI::Option* up_add = license_update->add_option("--add-accounts", a.add_accounts, "A,B,...");
  CLI::Option* up_remove = license_update->add_option("--remove-accounts", a.remove_accounts, "A,B,...");
  CLI::Option* up_max = license_update->add_option("--max-accounts", a.max_accounts);
  CLI::Option* up_types = license_update->add_option("--types", a.types, "T,U,... or all");
  CLI::Option* up_set = license_update->add_option("--set", a.set);
  license_update->add_option("--override", a.overrides, "name=value (repeatable)")->allow_extra_args(false);
  license_update->add_option("--clear-override", a.clear_overrides, "name (repeatable)")->allow_extra_args(false);
  CLI::Option* up_note = license_update->add_option("--note", a.note);

  CLI::App* license_suspend = license->add_subcommand("suspend", "suspend a license (resume undoes it)");
  CLI::App* license_resume = license->add_subcommand("resume", "resume a suspended license");
  CLI::App* license_revoke = license->add_subcommand("revoke", "revoke a license (final)");
  for (CLI::App* cmd : {license_suspend, license_resume, license_revoke}) {
    cmd->add_option("PRODUCT", a.product)->required();
    cmd->add_option("ID", a.id)->required();
  }
  CLI::App* license_extend = license->add_subcommand("extend", "set a license's expiry");
  license_extend->add_option("PRODUCT", a.product)->required();
  license_extend->add_option("ID", a.id)->required();
  license_extend->add_option("--expires", a.expires, "YYYY-MM-DD or never")->required();
  CLI::App* license_show = license->add_subcommand("show", "show a license");
  license_show->add_option("PRODUCT", a.product)->required();
  license_show->add_option("ID", a.id)->required();
  json_flag(license_show);
  CLI::App* license_list = license->add_subcommand("list", "list a product's licenses");
  license_list->add_option("PRODUCT", a.product)->required();
  CLI::Option* list_account = license_list->add_option("--account", a.account, "only the licenses holding A");
  json_flag(license_list);

  CLI::App* import = app.add_subcommand("import", "import the stand-in's JSON parameter file, or licenses from CSV");
  import->add_option("PRODUCT", a.product)->required();
  import->add_option("FILE", a.file)->required();

  CLI::App* log = app.add_subcommand("log", "the fetch log of a product, oldest first");
  log->add_option("PRODUCT", a.product)->required();
  CLI::Option* log_account = log->add_option("--account", a.account);
  CLI::Option* log_since = log->add_option("--since", a.since, "YYYY-MM-DD[THH:MM] (UTC)");
  log->add_option("--limit", a.limit, "only the latest N rows");
  json_flag(log);

  CLI::App* retention = app.add_subcommand("retention", "how much of the fetch log is kept");
  CLI::Option* ret_days = retention->add_option("--days", a.days, "rows older than this are deleted (0: by age never)");
  CLI::Option* ret_rows = retention->add_option("--max-rows", a.max_rows, "at most this many rows (0: no cap)");
  json_flag(retention);

  CLI::App* backup = app.add_subcommand("backup", "a consistent copy of the database, also while serving");
  backup->add_option("OUT", a.out)->required();

  CLI::App* serve = app.add_subcommand("serve", "answer the DLL's fetches (until SIGTERM or SIGINT)");
  serve->add_option("--listen", a.serve.listen, "address to listen on (default 127.0.0.1)");
  serve->add_option("--http-port", a.http_port, "0: no http (default 80)")->check(CLI::Range(0, 65535));
  serve->add_option("--https-port", a.https_port, "0: no https (default 443)")->check(CLI::Range(0, 65535));
  CLI::Option* serve_cert = serve->add_option("--cert", a.serve.cert_file, "certificate chain (PEM)");
  CLI::Option* serve_key = serve->add_option("--key", a.serve.key_file, "its key (PEM, RSA or ECDSA P-256)");
  serve_cert->needs(serve_key);
  serve_key->needs(serve_cert);
  serve->add_option("--ready-file", a.serve.ready_file, "written once every listener is bound");
  serve->add_option("--rate-limit", a.serve.rate_limit, "fetches a minute per address, 0: off (default 20)");
  serve->add_option("--rate-burst", a.serve.rate_burst, "fetches at once per address (default 40)");
  serve->add_option("--trusted-proxy", a.serve.trusted_proxies, "a proxy whose X-Forwarded-For is believed")
      ->allow_extra_args(false);
  serve->add_option("--metrics-listen", a.serve.metrics_listen, "ADDR:PORT for /metrics and /health; empty: off");
  serve->add_option("--admin-listen", a.serve.admin_listen,
                    "ADDR:PORT of the dashboard and the admin API (default 127.0.0.1:9180); off: none");
  CLI::Option* admin_cert = serve->add_option("--admin-cert", a.serve.admin_cert_file,
                                              "the admin listener's certificate chain (PEM): https");
  CLI::Option* admin_key = serve->add_option("--admin-key", a.serve.admin_key_file, "its key (PEM)");
  admin_cert->needs(admin_key);
  admin_key->needs(admin_cert);
  serve->add_option("--instance", a.serve.instance, "this server's name in the fetch log");
  serve->add_option("--db-threads", a.serve.db_threads, "threads that ask the database (default 2)")
      ->check(CLI::Range(1, 64));

  CLI::App* admin_cmd = app.add_subcommand("admin", "who may use the dashboard and the admin API");
  admin_cmd->require_subcommand(1);
  CLI::App* admin_add = admin_cmd->add_subcommand("add", "add an admin (the password: --password-file or a prompt)");
  CLI::App* admin_passwd = admin_cmd->add_subcommand("passwd", "set an admin's password (ends their sessions)");
  for (CLI::App* cmd : {admin_add, admin_passwd}) {
    cmd->add_option("NAME", a.name)->required();
    cmd->add_option("--password-file", a.password_file, "read the password from this file");
  }
  CLI::App* admin_list = admin_cmd->add_subcommand("list", "list the admins");
  json_flag(admin_list);
  CLI::App* admin_token = admin_cmd->add_subcommand("token", "make an API token for NAME (printed once)");
  admin_token->add_option("NAME", a.name)->required();
  admin_token->add_option("--scope", a.scope, "read (default), revoke (read, suspend, revoke) or full")
      ->check(CLI::IsMember({"read", "revoke", "full"}));
  admin_token->add_option("--label", a.label, "what the token is for, e.g. the shop's refund hook");
  CLI::App* admin_tokens = admin_cmd->add_subcommand("tokens", "list the API tokens");
  json_flag(admin_tokens);
  CLI::App* admin_revoke = admin_cmd->add_subcommand("revoke-token", "revoke an API token by its id");
  admin_revoke->add_option("ID", a.token_id)->required();

  CLI::App* audit = app.add_subcommand("audit", "the audit log of every change, newest first");
  audit->add_option("--product", a.product, "only changes of this product");
  CLI::Option* audit_limit = audit->add_option("--limit", a.limit, "at most N rows (default 100, at most 1000)");
  json_flag(audit);

  CLI::App* pin = app.add_subcommand("pin", "print the sha256// pin of a certificate's key");
  pin->add_option("--cert", a.cert, "a PEM certificate (or key)")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "parambridge-server: " << e.what() << " (--help lists the commands)\n";
    return kUsage;
  }

  try {
    if (pin->parsed()) {
      std::string problem;
      const std::optional<std::string> value = PinOfPemFile(a.cert, &problem);
      if (!value) throw Refused(problem);
      Say(*value);
      return kDone;
    }
    if (a.db.empty()) throw UsageError("--db FILE is required before the command");

    if (init->parsed()) {
      OpenDatabase(a.db, OpenMode::kCreate);
      Say("database " + a.db + " is ready");
      return kDone;
    }
    if (serve->parsed()) {
      a.serve.http_port = static_cast<uint16_t>(a.http_port);
      a.serve.https_port = static_cast<uint16_t>(a.https_port);
      return Serve(a.db, a.serve);
    }

    std::unique_ptr<Database> db = OpenDatabase(a.db, OpenMode::kExisting);

    if (product_add->parsed()) {
      Product p;
      p.name = a.product;
      p.base_path = a.text;
      db->AddProduct(p);
      AuditCli(*db, "product.add", p.name, p.name, {{"base_path", p.base_path}});
      Say("product " + p.name + " is served at " + p.base_path + "run/");
    } else if (product_trial->parsed()) {
      Product p = db->GetProduct(a.product);
      if (a.days < 0 || a.days > 3650) throw Refused("--days must be 0 (no trials) to 3650");
      TrialPolicy trial = p.trial;
      trial.days = static_cast<int32_t>(a.days);
      if (*trial_set) trial.set = a.set;
      if (*trial_per_hour) {
        if (a.per_hour < 0 || a.per_hour > 1000000) throw Refused("--per-hour must be 0 to 1000000");
        trial.per_hour = static_cast<uint32_t>(a.per_hour);
      }
      if (trial.days > 0 && !*trial_set) throw UsageError("--set SET is required with --days above 0");
      db->SetTrial(a.product, trial);
      AuditCli(*db, "product.trial", a.product, a.product,
               {{"days", trial.days}, {"set", trial.set}, {"per_hour", trial.per_hour}});
      Say(trial.days > 0 ? "product " + a.product + " gives a " + std::to_string(trial.days) + "-day trial with set " +
                               trial.set + ", at most " + std::to_string(trial.per_hour) + " new an hour"
                         : "product " + a.product + " gives no trials");
    } else if (product_text->parsed()) {
      db->SetText(a.product, a.status, a.text);
      AuditCli(*db, "product.text", a.product, std::to_string(a.status), {{"text", a.text}});
      Say("status " + std::to_string(a.status) + " of product " + a.product + " now reads: " + a.text);
    } else if (product_show->parsed()) {
      const Product p = db->GetProduct(a.product);
      if (a.json) PrintJson(ProductJson(p)); else std::cout << ProductText(p);
    } else if (product_list->parsed()) {
      const std::vector<Product> products = db->ListProducts();
      if (a.json) {
        Json doc = Json::array();
        for (const Product& p : products) doc.push_back(ProductJson(p));
        PrintJson(doc);
      } else {
        for (const Product& p : products) Say(p.name + "\t" + p.base_path);
      }
    } else if (set_put->parsed()) {
      Pairs pairs;
      for (const std::string& arg : a.pairs) pairs.push_back(PairArg(arg));
      db->PutSet(a.product, a.set, pairs);
      AuditCli(*db, "set.put", a.product, a.set, {{"pairs", pairs.size()}});
      Say("set " + a.set + " of product " + a.product + " holds " + std::to_string(pairs.size()) + " parameters");
    } else if (set_show->parsed()) {
      const Pairs pairs = db->GetSet(a.product, a.set);
      if (a.json) {
        PrintJson(Json{{"product", a.product}, {"set", a.set}, {"parameters", PairsJson(pairs)}});
      } else {
        for (const Pair& p : pairs) Say(p.name + "=" + p.value);
      }
    } else if (set_list->parsed()) {
      const std::vector<std::string> names = db->ListSets(a.product);
      if (a.json) {
        Json doc = Json::array();
        for (const std::string& name : names) doc.push_back(Json{{"set", name}});
        PrintJson(doc);
      } else {
        for (const std::string& name : names) Say(name);
      }
    } else if (license_add->parsed()) {
      License l;
      l.id = a.id;
      l.set = a.set;
      if (!a.accounts.empty()) l.accounts = AccountsArg("--accounts", a.accounts);
      l.max_accounts = kMaxAccountsPerLicense;
      if (*add_max) {
        if (a.max_accounts < 1 || a.max_accounts > kMaxAccountsPerLicense) {
          throw Refused("--max-accounts must be 1 to " + std::to_string(kMaxAccountsPerLicense));
        }
        l.max_accounts = static_cast<uint32_t>(a.max_accounts);
      }
      if (*add_types) l.types = TypesArg(a.types);
      if (*add_expires) l.expires = ExpiresArg(a.expires);
      l.note = a.note;
      db->AddLicense(a.product, l);
      AuditCli(*db, "license.add", a.product, l.id, LicenseJson(a.product, l));
      Say("license " + l.id + " added to product " + a.product);
    } else if (license_update->parsed()) {
      LicenseChange change;
      if (*up_add) change.add_accounts = AccountsArg("--add-accounts", a.add_accounts);
      if (*up_remove) change.remove_accounts = AccountsArg("--remove-accounts", a.remove_accounts);
      if (*up_max) {
        if (a.max_accounts < 1 || a.max_accounts > kMaxAccountsPerLicense) {
          throw Refused("--max-accounts must be 1 to " + std::to_string(kMaxAccountsPerLicense));
        }
        change.max_accounts = static_cast<uint32_t>(a.max_accounts);
      }
      if (*up_types) change.types = TypesArg(a.types);
      if (*up_set) change.set = a.set;
      for (const std::string& arg : a.overrides) change.overrides.push_back(PairArg(arg));
      change.clear_overrides = a.clear_overrides;
      if (*up_note) change.note = a.note;
      db->ChangeLicense(a.product, a.id, change);
      Json detail = Json::object();
      if (!change.add_accounts.empty()) detail["accounts_add"] = change.add_accounts;
      if (!change.remove_accounts.empty()) detail["accounts_remove"] = change.remove_accounts;
      if (change.max_accounts) detail["max_accounts"] = *change.max_accounts;
      if (change.types) detail["types"] = FormatTypes(*change.types);
      if (change.set) detail["set"] = *change.set;
      for (const Pair& o : change.overrides) detail["overrides"][o.name] = o.value;
      if (!change.clear_overrides.empty()) detail["clear_overrides"] = change.clear_overrides;
      if (change.note) detail["note"] = *change.note;
      AuditCli(*db, "license.update", a.product, a.id, detail);
      Say("license " + a.id + " of product " + a.product + " updated");
    } else if (license_suspend->parsed() || license_resume->parsed() || license_revoke->parsed()) {
      LicenseChange change;
      const LicenseState to = license_suspend->parsed()  ? LicenseState::kSuspended
                              : license_resume->parsed() ? LicenseState::kActive
                                                         : LicenseState::kRevoked;
      change.state = to;
      const License before = db->GetLicense(a.product, a.id);
      db->ChangeLicense(a.product, a.id, change);
      if (before.state != to) {
        AuditCli(*db, license_suspend->parsed()  ? "license.suspend"
                      : license_resume->parsed() ? "license.resume"
                                                 : "license.revoke",
                 a.product, a.id, {{"from", StateName(before.state)}, {"to", StateName(to)}});
      }
      Say("license " + a.id + " of product " + a.product + " is " + StateName(to));
    } else if (license_extend->parsed()) {
      LicenseChange change;
      change.expires = ExpiresArg(a.expires);
      db->ChangeLicense(a.product, a.id, change);
      AuditCli(*db, "license.extend", a.product, a.id, {{"to", a.expires}});
      Say("license " + a.id + " of product " + a.product + " expires " + (*change.expires ? a.expires : "never"));
    } else if (license_show->parsed()) {
      const License l = db->GetLicense(a.product, a.id);
      if (a.json) PrintJson(LicenseJson(a.product, l)); else std::cout << LicenseText(a.product, l);
    } else if (license_list->parsed()) {
      std::vector<License> licenses = db->ListLicenses(a.product);
      if (*list_account) {
        std::vector<License> kept;
        for (License& l : licenses) {
          if (std::find(l.accounts.begin(), l.accounts.end(), a.account) != l.accounts.end()) kept.push_back(std::move(l));
        }
        licenses.swap(kept);
      }
      if (a.json) {
        Json doc = Json::array();
        for (const License& l : licenses) doc.push_back(LicenseJson(a.product, l));
        PrintJson(doc);
      } else {
        for (const License& l : licenses) Say(LicenseLine(l));
      }
    } else if (import->parsed()) {
      const std::string text = ReadFile(a.file);
      const std::vector<std::string> names = db->ListSets(a.product);
      const ImportPlan plan = ParseImport(text, std::set<std::string>(names.begin(), names.end()));
      db->Import(a.product, plan);
      AuditCli(*db, "import", a.product, a.file,
               {{"licenses", plan.licenses.size()}, {"sets", plan.sets.size()}});
      Say("imported " + std::to_string(plan.licenses.size()) + " licenses and " + std::to_string(plan.sets.size()) +
          " sets into product " + a.product);
    } else if (log->parsed()) {
      LogQuery q;
      q.product = a.product;
      if (*log_account) q.account = a.account;
      if (*log_since) {
        q.since_micros = ParseSince(a.since);
        if (!q.since_micros) throw UsageError("--since takes YYYY-MM-DD or YYYY-MM-DDTHH:MM (UTC), not \"" + a.since + "\"");
      }
      if (a.limit < 0) throw UsageError("--limit must not be negative");
      q.limit = static_cast<std::size_t>(a.limit);
      const std::vector<FetchLogRow> rows = db->QueryLog(q);
      if (a.json) {
        Json doc = Json::array();
        for (const FetchLogRow& r : rows) doc.push_back(LogRowJson(r));
        PrintJson(doc);
      } else {
        for (const FetchLogRow& r : rows) Say(LogRowLine(r));
      }
      if (const uint64_t dropped = db->DroppedRows()) {
        std::cerr << "parambridge-server: " << dropped << " fetch log rows could not be kept (all products, ever)\n";
      }
    } else if (retention->parsed()) {
      LogSettings s = db->GetLogSettings();
      if (*ret_days) {
        if (a.days < 0 || a.days > 100000) throw Refused("--days must be 0 to 100000");
        s.retention_days = static_cast<int32_t>(a.days);
      }
      if (*ret_rows) s.max_rows = a.max_rows;
      if (*ret_days || *ret_rows) {
        db->SetLogSettings(s);
        AuditCli(*db, "retention", "", "fetch_log", {{"days", s.retention_days}, {"max_rows", s.max_rows}});
      }
      if (a.json) {
        PrintJson(Json{{"days", s.retention_days}, {"max_rows", s.max_rows}, {"rows_dropped", db->DroppedRows()}});
      } else {
        Say("the fetch log keeps " + (s.retention_days ? std::to_string(s.retention_days) + " days" : std::string("rows of any age")) +
            ", " + (s.max_rows ? "at most " + std::to_string(s.max_rows) + " rows" : std::string("any number of rows")));
      }
    } else if (admin_add->parsed()) {
      if (db->FindAdmin(a.name)) throw Refused("admin " + a.name + " exists already");
      Admin added;
      added.name = a.name;
      added.password_hash = admin::HashPassword(ReadNewPassword(a.password_file));
      added.created_micros = ToMicros(std::chrono::system_clock::now());
      db->AddAdmin(added);
      AuditCli(*db, "admin.add", "", a.name, Json::object());
      Say("admin " + a.name + " added");
    } else if (admin_passwd->parsed()) {
      if (!db->FindAdmin(a.name)) throw Refused("no admin " + a.name);
      db->SetAdminPassword(a.name, admin::HashPassword(ReadNewPassword(a.password_file)));
      AuditCli(*db, "admin.passwd", "", a.name, Json::object());
      Say("the password of admin " + a.name + " is set; their dashboard sessions are ended");
    } else if (admin_list->parsed()) {
      const std::vector<Admin> admins = db->ListAdmins();
      if (a.json) {
        Json doc = Json::array();
        for (const Admin& ad : admins) doc.push_back(Json{{"name", ad.name}, {"created", FormatMicros(ad.created_micros)}});
        PrintJson(doc);
      } else {
        for (const Admin& ad : admins) Say(ad.name + "\t" + FormatMicros(ad.created_micros));
      }
    } else if (admin_token->parsed()) {
      ApiToken t;
      const std::string secret = admin::NewApiToken();
      t.admin = a.name;
      t.label = a.label;
      t.scope = sqlite::ParseScope(a.scope).value_or(Scope::kRead);
      t.digest = admin::Sha256Hex(secret);
      t.created_micros = ToMicros(std::chrono::system_clock::now());
      const int64_t id = db->AddToken(t);
      AuditCli(*db, "token.add", "", std::to_string(id), {{"admin", a.name}, {"scope", a.scope}, {"label", a.label}});
      Say(secret);
      std::cerr << "token " << id << " of admin " << a.name << ", scope " << a.scope
                << ": shown this once, only its digest is kept\n";
    } else if (admin_tokens->parsed()) {
      const std::vector<ApiToken> tokens = db->ListTokens();
      if (a.json) {
        Json doc = Json::array();
        for (const ApiToken& t : tokens) doc.push_back(admin::TokenJson(t));
        PrintJson(doc);
      } else {
        for (const ApiToken& t : tokens) {
          Say(std::to_string(t.id) + "\t" + t.admin + "\t" + sqlite::ScopeName(t.scope) + "\t" +
              (t.revoked_micros ? "revoked " + FormatMicros(*t.revoked_micros) : std::string("active")) + "\t" +
              (t.last_used_micros ? "used " + FormatMicros(*t.last_used_micros) : std::string("never used")) + "\t" +
              t.label);
        }
      }
    } else if (admin_revoke->parsed()) {
      if (!db->RevokeToken(a.token_id, ToMicros(std::chrono::system_clock::now()))) {
        throw Refused("no token " + std::to_string(a.token_id));
      }
      AuditCli(*db, "token.revoke", "", std::to_string(a.token_id), Json::object());
      Say("token " + std::to_string(a.token_id) + " is revoked");
    } else if (audit->parsed()) {
      AuditQuery q;
      if (!a.product.empty()) q.product = a.product;
      if (*audit_limit && (a.limit < 1 || a.limit > 1000)) throw UsageError("--limit must be 1 to 1000");
      if (*audit_limit) q.limit = static_cast<std::size_t>(a.limit);
      const std::vector<AuditRow> rows = db->QueryAudit(q);
      if (a.json) {
        Json doc = Json::array();
        for (const AuditRow& r : rows) doc.push_back(admin::AuditJson(r));
        PrintJson(doc);
      } else {
        for (const AuditRow& r : rows) Say(AuditLine(r));
      }
    } else if (backup->parsed()) {
      db->Backup(a.out);
      Say("backup written to " + a.out);
    }
    return kDone;
  } catch (const UsageError& e) {
    std::cerr << "parambridge-server: " << e.what() << "\n";
    return kUsage;
  } catch (const NotOurDatabase& e) {
    std::cerr << "parambridge-server: " << e.what() << "\n";
    return kUsage;
  } catch (const Refused& e) {
    std::cerr << "parambridge-server: " << e.what() << "\n";
    return kRefused;
  } catch (const DatabaseUnavailable& e) {
    std::cerr << "parambridge-server: the database cannot do it now (nothing changed): " << e.what() << "\n";
    return kUnavailable;
  } catch (const std::exception& e) {
    std::cerr << "parambridge-server: " << e.what() << "\n";
    return kUnavailable;
  }
}

}  // namespace pbs::cli
