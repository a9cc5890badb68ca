#include "access/OfflineJournal.h"

#include <sys/stat.h>

#include <random>

namespace tarn {
namespace {

constexpr const char* kSchema = R"SQL(
CREATE TABLE IF NOT EXISTS journal_meta (key TEXT PRIMARY KEY, value TEXT);
CREATE TABLE IF NOT EXISTS entry (id INTEGER PRIMARY KEY AUTOINCREMENT, made REAL NOT NULL, kind TEXT NOT NULL,
  payload TEXT NOT NULL);
)SQL";

std::string RandomId() {
  std::random_device random;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id;
  for (int i = 0; i < 16; ++i) id += kHex[random() & 15u];
  return id;
}

int64_t FileSize(const std::string& path) {
  struct stat sb {};
  return ::stat(path.c_str(), &sb) == 0 ? static_cast<int64_t>(sb.st_size) : 0;
}

}  // namespace

bool TOfflineJournal::Open(const std::string& path, std::string* error) {
  Close();
  // Every commit waits for the disk: an entry appended is an entry kept.
  if (!file_.Open(path, TSqliteFile::TMode::ReadWrite, TSqliteFile::TSync::Full) || !file_.Exec(kSchema)) {
    if (error) *error = file_.Error();
    Close();
    return false;
  }
  std::optional<std::string> id = file_.QueryText("SELECT value FROM journal_meta WHERE key = 'id'");
  if (!id) {
    // Made once with the file; two objects opening a new file at once agree on the first.
    TSqliteStatement ins = file_.Prepare("INSERT OR IGNORE INTO journal_meta (key, value) VALUES ('id', ?)");
    ins.Bind(1, RandomId());
    ins.Run();
    id = file_.QueryText("SELECT value FROM journal_meta WHERE key = 'id'");
  }
  if (!id || id->empty()) {
    if (error) *error = "the journal " + path + " has no id: " + file_.Error();
    Close();
    return false;
  }
  id_ = *id;
  return true;
}

void TOfflineJournal::Close() noexcept {
  file_.Close();
  id_.clear();
}

int64_t TOfflineJournal::Append(const TOfflineWrite& write, TDateTime made) {
  TSqliteStatement ins = file_.Prepare("INSERT INTO entry (made, kind, payload) VALUES (?, ?, ?)");
  ins.Bind(1, made).Bind(2, KindOf(write)).Bind(3, EncodeEntry(write));
  if (!ins.Run()) return 0;
  return file_.LastInsertId();
}

std::vector<TJournalRecord> TOfflineJournal::Entries(int64_t after, size_t max) {
  std::vector<TJournalRecord> records;
  TSqliteStatement q = file_.Prepare("SELECT id, made, kind, payload FROM entry WHERE id > ? ORDER BY id LIMIT ?");
  q.Bind(1, after).Bind(2, static_cast<int64_t>(max));
  while (q.Step()) {
    TJournalRecord r;
    r.id = q.Int(0);
    r.made = q.Real(1);
    r.kind = q.Text(2);
    r.write = DecodeEntry(r.kind, q.Text(3));
    records.push_back(std::move(r));
  }
  return records;
}

bool TOfflineJournal::Remove(const std::vector<int64_t>& ids) {
  if (ids.empty()) return true;
  if (!file_.Begin()) return false;
  TSqliteStatement del = file_.Prepare("DELETE FROM entry WHERE id = ?");
  for (int64_t id : ids) {
    del.Bind(1, id);
    if (!del.Run()) {
      file_.Rollback();
      return false;
    }
  }
  if (!file_.Commit()) {
    file_.Rollback();
    return false;
  }
  return true;
}

int64_t TOfflineJournal::Count() { return file_.QueryInt("SELECT COUNT(*) FROM entry").value_or(0); }

int64_t TOfflineJournal::LastId() {
  return file_.QueryInt("SELECT seq FROM sqlite_sequence WHERE name = 'entry'").value_or(0);
}

std::optional<TJournalFacts> ReadJournalFacts(const std::string& path, std::string* error) {
  TSqliteFile file;
  if (!file.Open(path, TSqliteFile::TMode::ReadOnly, TSqliteFile::TSync::Normal)) {
    if (error) *error = file.Error();
    return std::nullopt;
  }
  TJournalFacts facts;
  const std::optional<int64_t> entries = file.QueryInt("SELECT COUNT(*) FROM entry");
  if (!entries) {
    if (error) *error = path + " is not a journal: " + file.Error();
    return std::nullopt;
  }
  facts.entries = *entries;
  TSqliteStatement oldest = file.Prepare("SELECT made FROM entry ORDER BY id LIMIT 1");
  if (oldest.Step()) facts.oldest = oldest.Real(0);
  facts.bytes = FileSize(path) + FileSize(path + "-wal");
  return facts;
}

}  // namespace tarn
