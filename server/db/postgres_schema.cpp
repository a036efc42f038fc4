#include "server/db/postgres_schema.h"

#include <string>
#include <vector>

#include "server/db/schema.h"

namespace pbs::pg {
namespace {

struct State {
  int64_t tables = 0;   // in the current schema
  bool ours = false;    // schema_migrations carries our marker
  int version = 0;
};

State Inspect(Session& s) {
  State st;
  Result r = s.Exec(
      "SELECT (SELECT count(*) FROM pg_catalog.pg_tables WHERE schemaname = current_schema()),"
      " obj_description(to_regclass(quote_ident(current_schema()) || '.schema_migrations'), 'pg_class')");
  st.tables = r.Int(0, 0);
  st.ours = !r.IsNull(0, 1) && r.Text(0, 1) == kMarker;
  if (st.ours) st.version = static_cast<int>(s.Exec("SELECT coalesce(max(version), 0) FROM schema_migrations").Int(0, 0));
  return st;
}

// Throws unless the database may be used (or, with kCreate, made ours).
void Judge(const Session& s, const State& st, OpenMode mode) {
  if (!st.ours) {
    if (st.tables != 0) {
      throw NotOurDatabase(s.Name() + " is not a parambridge-server database (it holds tables of another program)");
    }
    if (mode != OpenMode::kCreate) {
      throw NotOurDatabase(s.Name() + " is not initialised (parambridge-server --db URL init)");
    }
  }
  if (st.version > LatestSchemaVersion()) {
    throw NotOurDatabase(s.Name() + " has schema version " + std::to_string(st.version) +
                         ", newer than this program's " + std::to_string(LatestSchemaVersion()) +
                         ": use the parambridge-server that wrote it, or a newer one");
  }
}

}  // namespace

void PrepareDatabase(Session& session, OpenMode mode) {
  const State now = session.Transact(TxKind::kRead, [&] { return Inspect(session); });
  Judge(session, now, mode);
  if (now.ours && now.version == LatestSchemaVersion()) return;

  session.Transact(TxKind::kMigrate, [&] {
    session.Exec("SET LOCAL statement_timeout = '120s'");
    session.Exec("SET LOCAL lock_timeout = '60s'");
    session.Exec("SELECT pg_advisory_xact_lock($1)", {kSchemaLockKey});
    // Again under the lock: another instance may have been first.
    const State st = Inspect(session);
    Judge(session, st, mode);
    if (!st.ours) {
      session.ExecScript(
          "CREATE TABLE schema_migrations (version BIGINT PRIMARY KEY, applied_us BIGINT NOT NULL);"
          "COMMENT ON TABLE schema_migrations IS '" + std::string(kMarker) + "'");
    }
    const std::vector<std::string> migrations = SchemaMigrations(SqlDialect::kPostgres);
    for (int version = st.version; version < LatestSchemaVersion(); ++version) {
      session.ExecScript(migrations[static_cast<std::size_t>(version)]);
      session.Exec(
          "INSERT INTO schema_migrations (version, applied_us)"
          " VALUES ($1, (extract(epoch FROM clock_timestamp()) * 1000000)::bigint)",
          {int64_t{version + 1}});
    }
  });
}

}  // namespace pbs::pg
