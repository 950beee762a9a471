// The index store's schema, shared by the server (which writes) and the search (which reads).
//
// One row per path, the path field exactly as the record sent it. A row is replaced only by a
// record whose stamp is strictly newer (stamps compared as times). Times are the record's own
// wall-clock values without a zone: never converted through any machine's time zone.
//
// SQLite (the embedded default):
//   files.path, files.name, files.content  TEXT holding the record's bytes as sent (bound with
//                                           their length; they need not be valid UTF-8)
//   files.atime, files.mtime, files.ctime   TEXT "YYYY-MM-DD HH:MM:SS" (text order = time order)
//   files.size                              INTEGER (64-bit)
//   files.md5                               TEXT, 32 lowercase hex digits, NULL for no digest
//   files.stamp                             TEXT "YYYY-MM-DD HH:MM:SS.ffffff" (six digits)
//   files_fts                               FTS5 external-content table over files.content,
//                                           kept in step by triggers, with an index of every
//                                           token's first three letters (so a three-letter
//                                           prefix query reads one list, not every word's)
//   stats(name, value)                      "rejected" (decimal count of records that could not
//                                           be parsed) and "last_received" ("YYYY-MM-DDTHH:MM:SS",
//                                           the server's local time of the last stored record)
//
// PostgreSQL (at scale): the same rows in tessary_files, with bytea for the byte fields (a path
// or content need not be valid UTF-8), timestamp(0)/timestamp(6) without time zone for the
// times and the stamp, bigint for the size, and a tsvector column of the content's leading part
// (invalid UTF-8 replaced by U+FFFD, at most kTsvectorSourceMax bytes, "simple" configuration)
// under a GIN index; tessary_stats as stats.
#pragma once

#include <cstddef>

namespace tessary::store {

/// Version of the SQLite schema below, kept in its user_version. Version 1 had no prefix index;
/// the server adds it (rebuilding the full-text table) when it opens such a store.
constexpr int kSqliteSchemaVersion = 2;

/// Version of the PostgreSQL schema below, kept in tessary_stats.
constexpr int kPostgresSchemaVersion = 1;

/// Statements that create the SQLite schema; safe to run on an existing store.
constexpr const char* kSqliteSchema = R"sql(
CREATE TABLE IF NOT EXISTS files (
  id      INTEGER PRIMARY KEY,
  path    TEXT NOT NULL UNIQUE,
  name    TEXT NOT NULL,
  atime   TEXT NOT NULL,
  mtime   TEXT NOT NULL,
  ctime   TEXT NOT NULL,
  size    INTEGER NOT NULL,
  md5     TEXT,
  stamp   TEXT NOT NULL,
  content TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS files_md5 ON files(md5) WHERE md5 IS NOT NULL;
CREATE INDEX IF NOT EXISTS files_mtime ON files(mtime);
CREATE VIRTUAL TABLE IF NOT EXISTS files_fts USING fts5(
  content, content='files', content_rowid='id', tokenize='unicode61 remove_diacritics 0', prefix='3');
CREATE TRIGGER IF NOT EXISTS files_ai AFTER INSERT ON files BEGIN
  INSERT INTO files_fts(rowid, content) VALUES (new.id, new.content);
END;
CREATE TRIGGER IF NOT EXISTS files_ad AFTER DELETE ON files BEGIN
  INSERT INTO files_fts(files_fts, rowid, content) VALUES ('delete', old.id, old.content);
END;
CREATE TRIGGER IF NOT EXISTS files_au AFTER UPDATE ON files BEGIN
  INSERT INTO files_fts(files_fts, rowid, content) VALUES ('delete', old.id, old.content);
  INSERT INTO files_fts(rowid, content) VALUES (new.id, new.content);
END;
CREATE TABLE IF NOT EXISTS stats (
  name  TEXT PRIMARY KEY,
  value TEXT NOT NULL
);
)sql";

/// Most bytes of a content that PostgreSQL's tsvector is built from (the tsvector of a value
/// is limited to 1 MiB; the whole content is still stored).
constexpr std::size_t kTsvectorSourceMax = 512u * 1024u;

/// Statements that create the PostgreSQL schema; safe to run on an existing database and by
/// several servers at once (run inside a transaction holding an advisory lock).
constexpr const char* kPostgresSchema = R"sql(
CREATE TABLE IF NOT EXISTS tessary_files (
  path    bytea PRIMARY KEY,
  name    bytea NOT NULL,
  atime   timestamp(0) without time zone NOT NULL,
  mtime   timestamp(0) without time zone NOT NULL,
  ctime   timestamp(0) without time zone NOT NULL,
  size    bigint NOT NULL,
  md5     char(32),
  stamp   timestamp(6) without time zone NOT NULL,
  content bytea NOT NULL,
  tsv     tsvector NOT NULL
);
CREATE INDEX IF NOT EXISTS tessary_files_tsv ON tessary_files USING gin(tsv);
CREATE INDEX IF NOT EXISTS tessary_files_md5 ON tessary_files(md5) WHERE md5 IS NOT NULL;
CREATE INDEX IF NOT EXISTS tessary_files_mtime ON tessary_files(mtime);
CREATE TABLE IF NOT EXISTS tessary_stats (
  name  text PRIMARY KEY,
  value text NOT NULL
);
)sql";

}  // namespace tessary::store
