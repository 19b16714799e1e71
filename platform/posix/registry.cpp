// The registry on POSIX: a SQLite database, $KESTRUNE_ROOT/registry.db.
//
// Mapping onto Win32:
// - A key is a row of `keys` (id, never reused; parent; name as created; ASCII-folded name);
//   the roots HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER are fixed rows. A value is a row of `vals`
//   (key, folded name, name as created, type, bytes, creation sequence), so names compare
//   case-insensitively and keep their case, and enumeration follows creation order; a value
//   that is rewritten keeps its name and its place.
// - A call on a predefined root reads KESTRUNE_ROOT at that moment and opens the database for
//   the call; a key handle keeps the connection it was opened on (shared with the handles
//   opened through it), so a handle always works on the store it came from. The store is made
//   by the first call that needs it; RegOpenKeyExA of a subkey only reads, so before the store
//   exists it fails with ERROR_FILE_NOT_FOUND and makes nothing.
// - Every write is one IMMEDIATE transaction; the journal is WAL with synchronous FULL and a
//   busy timeout, so several processes and threads read and write at once, each commit is
//   durable and a crash never leaves a torn value.
// - A call waits for a store that another program holds locked for at most the calling
//   thread's registry wait limit (10 s unless the thread set another with
//   KestruneSetRegistryWaitLimit), then fails with ERROR_BUSY and changes nothing. On Windows
//   no program can hold a key locked beyond a single call, so there a call never waits for
//   another program and the limit has nothing to bound.
// - A handle whose key was deleted (by anyone) fails with ERROR_KEY_DELETED; access rights
//   given at opening are checked on each call.
// Deliberate differences: no volatile keys, links or security descriptors (they fail with
// ERROR_CALL_NOT_IMPLEMENTED); key classes are not stored; HKEY_CLASSES_ROOT, HKEY_USERS and
// the other predefined roots are not provided.
#include "platform/posix/registry.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/posix/errors.h"
#include "platform/posix/handles_internal.h"

namespace {

constexpr sqlite3_int64 LocalMachineId = 1;
constexpr sqlite3_int64 CurrentUserId = 2;
constexpr size_t MaxKeyNameLength = 255;  // one path component
constexpr size_t MaxValueNameLength = 16383;
constexpr DWORD DefaultWaitLimitMs = 10000;
constexpr DWORD AllAccess = KEY_ALL_ACCESS | KEY_WOW64_32KEY | KEY_WOW64_64KEY;

// How long this thread's calls wait for a store that another connection holds locked.
thread_local DWORD WaitLimitMs = DefaultWaitLimitMs;

// Applies the calling thread's wait limit to a connection; called under the connection's lock
// (or before the connection is shared), right before the connection is used.
sqlite3 *Bounded(sqlite3 *db) {
    const DWORD limit = WaitLimitMs > 0x7FFFFFFFu ? 0x7FFFFFFFu : WaitLimitMs;
    sqlite3_busy_timeout(db, static_cast<int>(limit));
    return db;
}

// The Win32 code for a failed SQLite call.
LSTATUS ErrorFromSqlite(sqlite3 *db, int rc) {
    switch (rc & 0xff) {
        case SQLITE_OK:
        case SQLITE_DONE:
        case SQLITE_ROW:
            return ERROR_SUCCESS;
        case SQLITE_PERM:
        case SQLITE_READONLY:
        case SQLITE_AUTH:
            return ERROR_ACCESS_DENIED;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ERROR_BUSY;
        case SQLITE_NOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case SQLITE_FULL:
            return ERROR_DISK_FULL;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return ERROR_BADDB;
        case SQLITE_TOOBIG:
            return ERROR_INVALID_PARAMETER;
        case SQLITE_CANTOPEN: {
            int err = db ? sqlite3_system_errno(db) : 0;
            return err ? Win32ErrorFromErrno(err) : ERROR_CANTOPEN;
        }
        case SQLITE_IOERR:
            return ERROR_CANTWRITE;
        default:
            return ERROR_REGISTRY_CORRUPT;
    }
}

// Registry names compare case-insensitively for ASCII letters only; other bytes are exact.
std::string Fold(const char *text, size_t length) {
    std::string folded(text, length);
    for (char &c : folded) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}

// Current time as FILETIME units (100 ns since 1601).
sqlite3_int64 NowFileTime() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (static_cast<sqlite3_int64>(tv.tv_sec) + 11644473600LL) * 10000000LL + tv.tv_usec * 10LL;
}

// One open database; shared by the handles opened through it. The mutex serialises the calls
// made on it by different threads.
struct Connection {
    sqlite3 *Db = nullptr;
    std::mutex Lock;
    ~Connection() {
        if (Db)
            sqlite3_close_v2(Db);
    }
};

// A prepared statement that finalises itself.
class Statement {
public:
    Statement(sqlite3 *db, const char *sql) : db_(db) {
        rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    bool Ok() const { return rc_ == SQLITE_OK; }
    int Prepared() const { return rc_; }
    void Bind(int i, sqlite3_int64 v) { sqlite3_bind_int64(stmt_, i, v); }
    void Bind(int i, const std::string &s) {
        // Bound as a blob of exactly these bytes (a zero-length blob, not NULL, when empty).
        if (s.empty())
            sqlite3_bind_zeroblob(stmt_, i, 0);
        else
            sqlite3_bind_blob(stmt_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    }
    void BindBytes(int i, const void *data, size_t size) {
        if (size == 0)
            sqlite3_bind_zeroblob(stmt_, i, 0);
        else
            sqlite3_bind_blob64(stmt_, i, data, size, SQLITE_TRANSIENT);
    }
    int Step() { return sqlite3_step(stmt_); }
    sqlite3_int64 Int(int col) { return sqlite3_column_int64(stmt_, col); }
    std::string Blob(int col) {
        const void *p = sqlite3_column_blob(stmt_, col);
        int n = sqlite3_column_bytes(stmt_, col);
        return p && n > 0 ? std::string(static_cast<const char *>(p), static_cast<size_t>(n)) : std::string();
    }

private:
    sqlite3 *db_;
    sqlite3_stmt *stmt_ = nullptr;
    int rc_;
};

int Exec(sqlite3 *db, const char *sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

// A write transaction: BEGIN IMMEDIATE, rolled back unless committed.
class Transaction {
public:
    // Writers take the store at once (BEGIN IMMEDIATE); readers take a snapshot (BEGIN).
    explicit Transaction(sqlite3 *db, const char *begin = "BEGIN IMMEDIATE") : db_(db) {
        rc_ = Exec(db, begin);
    }
    ~Transaction() {
        if (rc_ == SQLITE_OK && !done_)
            Exec(db_, "ROLLBACK");
    }
    int Begun() const { return rc_; }
    int Commit() {
        int rc = Exec(db_, "COMMIT");
        if (rc == SQLITE_OK)
            done_ = true;
        return rc;
    }

private:
    sqlite3 *db_;
    int rc_;
    bool done_ = false;
};

// Runs a statement that gives one row and reads its first column.
int QueryInteger(sqlite3 *db, const char *sql, sqlite3_int64 &value) {
    Statement st(db, sql);
    if (!st.Ok())
        return st.Prepared();
    int rc = st.Step();
    if (rc != SQLITE_ROW)
        return rc == SQLITE_DONE ? SQLITE_ERROR : rc;
    value = st.Int(0);
    return SQLITE_OK;
}

const char *const Schema =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL, name BLOB NOT NULL, fold BLOB NOT NULL,"
    " stamp INTEGER NOT NULL DEFAULT 0, UNIQUE(parent, fold));"
    "CREATE TABLE IF NOT EXISTS vals("
    " key INTEGER NOT NULL, fold BLOB NOT NULL, name BLOB NOT NULL, type INTEGER NOT NULL,"
    " data BLOB NOT NULL, seq INTEGER NOT NULL, PRIMARY KEY(key, fold));"
    "CREATE INDEX IF NOT EXISTS vals_order ON vals(key, seq);"
    "INSERT OR IGNORE INTO keys(id, parent, name, fold) VALUES"
    " (1, 0, CAST('HKEY_LOCAL_MACHINE' AS BLOB), CAST('hkey_local_machine' AS BLOB)),"
    " (2, 0, CAST('HKEY_CURRENT_USER' AS BLOB), CAST('hkey_current_user' AS BLOB));"
    "PRAGMA user_version = 1;";

// Creates dir and its missing parents.
int MakeDirectories(const std::string &dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        int err = MakeDirectories(dir.substr(0, slash));
        if (err)
            return err;
    }
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
        return errno;
    return 0;
}

// Whether the store named by the environment now has been made.
bool StoreExists() {
    const std::string dir = kestrune::KestruneRootPath();
    struct stat st;
    return !dir.empty() && stat((dir + "/registry.db").c_str(), &st) == 0;
}

// Opens the store named by the environment now, creating it when missing.
LSTATUS OpenStore(std::shared_ptr<Connection> &out) {
    std::string dir = kestrune::KestruneRootPath();
    if (dir.empty())
        return ERROR_PATH_NOT_FOUND;
    if (int err = MakeDirectories(dir))
        return static_cast<LSTATUS>(Win32ErrorFromErrno(err));
    std::string path = dir + "/registry.db";

    auto conn = std::make_shared<Connection>();
    int rc = sqlite3_open_v2(path.c_str(), &conn->Db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK)
        return ErrorFromSqlite(conn->Db, rc);
    sqlite3_extended_result_codes(conn->Db, 1);
    Bounded(conn->Db);

    // Switching to WAL needs a moment alone with the file; the busy handler covers it.
    sqlite3_int64 ignored = 0, version = 0;
    rc = QueryInteger(conn->Db, "PRAGMA journal_mode=WAL", ignored);
    if (rc == SQLITE_OK)
        rc = Exec(conn->Db, "PRAGMA synchronous=FULL");
    if (rc == SQLITE_OK)
        rc = QueryInteger(conn->Db, "PRAGMA user_version", version);
    if (rc != SQLITE_OK)
        return ErrorFromSqlite(conn->Db, rc);
    if (version == 0) {
        Transaction tx(conn->Db);
        if (tx.Begun() != SQLITE_OK)
            return ErrorFromSqlite(conn->Db, tx.Begun());
        rc = Exec(conn->Db, Schema);
        if (rc == SQLITE_OK)
            rc = tx.Commit();
        if (rc != SQLITE_OK)
            return ErrorFromSqlite(conn->Db, rc);
    }
    out = std::move(conn);
    return ERROR_SUCCESS;
}

// An open key: the store it lives in, its row and the rights it was opened with.
struct KeyObject {
    std::shared_ptr<Connection> Conn;
    sqlite3_int64 Id = 0;
    DWORD Access = 0;
};

// Live key handles. Handle values are counters, never addresses, so a stale or made-up handle
// is recognised rather than dereferenced.
struct HandleTable {
    std::mutex Lock;
    std::unordered_map<uintptr_t, std::shared_ptr<KeyObject>> Keys;
    uintptr_t Next = 0x10000;
};

HandleTable &Handles() {
    static HandleTable *table = new HandleTable;  // never destroyed: usable during exit
    return *table;
}

HKEY AddHandle(std::shared_ptr<KeyObject> key) {
    HandleTable &t = Handles();
    std::lock_guard<std::mutex> guard(t.Lock);
    uintptr_t value = t.Next;
    t.Next += 4;
    t.Keys.emplace(value, std::move(key));
    return reinterpret_cast<HKEY>(value);
}

bool IsPredefined(HKEY h) {
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    uintptr_t first = reinterpret_cast<uintptr_t>(HKEY_CLASSES_ROOT);
    uintptr_t last = reinterpret_cast<uintptr_t>(HKEY_CURRENT_CONFIG);
    return v >= first && v <= last;
}

// The key a call works on: a live handle, or a predefined root opened for this call.
LSTATUS Resolve(HKEY h, std::shared_ptr<KeyObject> &out) {
    if (h == HKEY_LOCAL_MACHINE || h == HKEY_CURRENT_USER) {
        auto key = std::make_shared<KeyObject>();
        LSTATUS rc = OpenStore(key->Conn);
        if (rc != ERROR_SUCCESS)
            return rc;
        key->Id = h == HKEY_LOCAL_MACHINE ? LocalMachineId : CurrentUserId;
        key->Access = AllAccess;
        out = std::move(key);
        return ERROR_SUCCESS;
    }
    if (IsPredefined(h))
        return ERROR_CALL_NOT_IMPLEMENTED;
    HandleTable &t = Handles();
    std::lock_guard<std::mutex> guard(t.Lock);
    auto it = t.Keys.find(reinterpret_cast<uintptr_t>(h));
    if (it == t.Keys.end())
        return ERROR_INVALID_HANDLE;
    out = it->second;
    return ERROR_SUCCESS;
}

// Fails with ERROR_KEY_DELETED when the key's row is gone.
LSTATUS CheckAlive(sqlite3 *db, sqlite3_int64 id) {
    Statement st(db, "SELECT 1 FROM keys WHERE id=?");
    if (!st.Ok())
        return ErrorFromSqlite(db, st.Prepared());
    st.Bind(1, id);
    int rc = st.Step();
    if (rc == SQLITE_ROW)
        return ERROR_SUCCESS;
    if (rc == SQLITE_DONE)
        return ERROR_KEY_DELETED;
    return ErrorFromSqlite(db, rc);
}

// Splits a subkey path at backslashes. A single trailing backslash is allowed; a leading one,
// empty components and components over 255 characters are not.
// A transaction on the store of an open key, under the store's lock, on a key that another
// handle has not deleted meanwhile. Status says whether it may be used; it is rolled back
// unless committed (for a reader that is the same as a commit).
class KeyTransaction {
public:
    KeyTransaction(const KeyObject &key, bool write)
        : guard_(key.Conn->Lock), db_(Bounded(key.Conn->Db)), tx_(db_, write ? "BEGIN IMMEDIATE" : "BEGIN") {
        Status = tx_.Begun() != SQLITE_OK ? ErrorFromSqlite(db_, tx_.Begun()) : CheckAlive(db_, key.Id);
    }
    sqlite3 *Db() const { return db_; }
    LSTATUS Commit() {
        const int rc = tx_.Commit();
        return rc == SQLITE_OK ? ERROR_SUCCESS : ErrorFromSqlite(db_, rc);
    }
    LSTATUS Status = ERROR_SUCCESS;

private:
    std::lock_guard<std::mutex> guard_;
    sqlite3 *db_;
    Transaction tx_;
};

LSTATUS SplitPath(const char *path, std::vector<std::string> &parts) {
    parts.clear();
    if (!path || !*path)
        return ERROR_SUCCESS;
    if (*path == '\\')
        return ERROR_BAD_PATHNAME;
    const char *p = path;
    while (*p) {
        const char *end = std::strchr(p, '\\');
        size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
        if (len == 0)
            return ERROR_BAD_PATHNAME;
        if (len > MaxKeyNameLength)
            return ERROR_INVALID_PARAMETER;
        parts.emplace_back(p, len);
        if (!end)
            break;
        p = end + 1;
    }
    return ERROR_SUCCESS;
}

// The id of parent's child named name (case-insensitively); 0 when there is none.
// The open key a path starts from and the path's components below it.
LSTATUS ResolvePath(HKEY hKey, LPCSTR subKey, std::shared_ptr<KeyObject> &base,
                    std::vector<std::string> &parts) {
    LSTATUS rc = SplitPath(subKey, parts);
    return rc != ERROR_SUCCESS ? rc : Resolve(hKey, base);
}

LSTATUS FindChild(sqlite3 *db, sqlite3_int64 parent, const std::string &name, sqlite3_int64 &child) {
    Statement st(db, "SELECT id FROM keys WHERE parent=? AND fold=?");
    if (!st.Ok())
        return ErrorFromSqlite(db, st.Prepared());
    st.Bind(1, parent);
    st.Bind(2, Fold(name.data(), name.size()));
    int rc = st.Step();
    if (rc == SQLITE_ROW) {
        child = st.Int(0);
        return ERROR_SUCCESS;
    }
    if (rc == SQLITE_DONE) {
        child = 0;
        return ERROR_SUCCESS;
    }
    return ErrorFromSqlite(db, rc);
}

LSTATUS Touch(sqlite3 *db, sqlite3_int64 id) {
    Statement st(db, "UPDATE keys SET stamp=? WHERE id=?");
    if (!st.Ok())
        return ErrorFromSqlite(db, st.Prepared());
    st.Bind(1, NowFileTime());
    st.Bind(2, id);
    int rc = st.Step();
    return rc == SQLITE_DONE ? ERROR_SUCCESS : ErrorFromSqlite(db, rc);
}

// Generic access rights map onto the key rights, as on Windows.
DWORD MapAccess(REGSAM sam) {
    DWORD access = sam;
    if (access & GENERIC_READ)
        access |= KEY_READ;
    if (access & GENERIC_WRITE)
        access |= KEY_WRITE;
    if (access & GENERIC_EXECUTE)
        access |= KEY_EXECUTE;
    if (access & GENERIC_ALL)
        access |= KEY_ALL_ACCESS;
    return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

// Hands out a new handle on key id of the parent's store.
HKEY NewHandle(const std::shared_ptr<KeyObject> &parent, sqlite3_int64 id, REGSAM sam) {
    auto key = std::make_shared<KeyObject>();
    key->Conn = parent->Conn;
    key->Id = id;
    key->Access = MapAccess(sam);
    return AddHandle(std::move(key));
}

// One stored value.
struct ValueRow {
    std::string Name;
    DWORD Type = 0;
    std::string Data;
};

LSTATUS ReadValue(sqlite3 *db, sqlite3_int64 key, const char *name, ValueRow &row) {
    const char *n = name ? name : "";
    Statement st(db, "SELECT name, type, data FROM vals WHERE key=? AND fold=?");
    if (!st.Ok())
        return ErrorFromSqlite(db, st.Prepared());
    st.Bind(1, key);
    st.Bind(2, Fold(n, std::strlen(n)));
    int rc = st.Step();
    if (rc == SQLITE_DONE)
        return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW)
        return ErrorFromSqlite(db, rc);
    row.Name = st.Blob(0);
    row.Type = static_cast<DWORD>(st.Int(1));
    row.Data = st.Blob(2);
    return ERROR_SUCCESS;
}

// Copies a value's bytes out by the Win32 rules: no buffer gives the size only; a buffer that
// is too small gives ERROR_MORE_DATA with the size needed and is left untouched.
LSTATUS CopyData(const std::string &data, LPBYTE lpData, LPDWORD lpcbData) {
    if (!lpcbData)
        return ERROR_SUCCESS;
    DWORD size = static_cast<DWORD>(data.size());
    if (!lpData) {
        *lpcbData = size;
        return ERROR_SUCCESS;
    }
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (size)
        std::memcpy(lpData, data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
    (void)Reserved;
    (void)lpClass;  // classes are not stored
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    if (dwOptions & ~REG_OPTION_NON_VOLATILE)
        return ERROR_CALL_NOT_IMPLEMENTED;
    if (lpSecurityAttributes && lpSecurityAttributes->lpSecurityDescriptor)
        return ERROR_CALL_NOT_IMPLEMENTED;
    std::vector<std::string> parts;
    std::shared_ptr<KeyObject> base;
    LSTATUS rc = ResolvePath(hKey, lpSubKey, base, parts);
    if (rc != ERROR_SUCCESS)
        return rc;

    KeyTransaction tx(*base, true);
    if (tx.Status != ERROR_SUCCESS)
        return tx.Status;
    sqlite3 *db = tx.Db();

    sqlite3_int64 id = base->Id;
    bool created = false;
    for (const std::string &part : parts) {
        sqlite3_int64 child = 0;
        rc = FindChild(db, id, part, child);
        if (rc != ERROR_SUCCESS)
            return rc;
        if (child == 0) {
            if (id == base->Id && !(base->Access & KEY_CREATE_SUB_KEY))
                return ERROR_ACCESS_DENIED;
            Statement ins(db, "INSERT INTO keys(parent, name, fold, stamp) VALUES(?,?,?,?)");
            if (!ins.Ok())
                return ErrorFromSqlite(db, ins.Prepared());
            ins.Bind(1, id);
            ins.Bind(2, part);
            ins.Bind(3, Fold(part.data(), part.size()));
            ins.Bind(4, NowFileTime());
            int step = ins.Step();
            if (step != SQLITE_DONE)
                return ErrorFromSqlite(db, step);
            child = sqlite3_last_insert_rowid(db);
            created = true;
        }
        id = child;
    }
    if (created) {
        rc = tx.Commit();
        if (rc != ERROR_SUCCESS)
            return rc;
    }
    *phkResult = NewHandle(base, id, samDesired);
    if (lpdwDisposition)
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    if (ulOptions & ~REG_OPTION_RESERVED)
        return ERROR_CALL_NOT_IMPLEMENTED;
    std::vector<std::string> parts;
    std::shared_ptr<KeyObject> base;
    // Opening only reads: below a root whose store has not been made yet no key exists, and
    // the store is not created for the question.
    if ((hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_USER) && !StoreExists()) {
        LSTATUS rc = SplitPath(lpSubKey, parts);
        if (rc == ERROR_SUCCESS && !parts.empty())
            return ERROR_FILE_NOT_FOUND;
    }
    LSTATUS rc = ResolvePath(hKey, lpSubKey, base, parts);
    if (rc != ERROR_SUCCESS)
        return rc;

    sqlite3_int64 id = base->Id;
    {
        KeyTransaction tx(*base, false);
        rc = tx.Status;
        for (size_t i = 0; rc == ERROR_SUCCESS && i < parts.size(); ++i) {
            sqlite3_int64 child = 0;
            rc = FindChild(tx.Db(), id, parts[i], child);
            if (rc == ERROR_SUCCESS && child == 0)
                rc = ERROR_FILE_NOT_FOUND;
            id = child;
        }
    }
    if (rc != ERROR_SUCCESS)
        return rc;
    *phkResult = NewHandle(base, id, samDesired);
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY hKey) {
    if (IsPredefined(hKey))
        return ERROR_SUCCESS;
    std::shared_ptr<KeyObject> key;  // released after the table lock
    HandleTable &t = Handles();
    std::lock_guard<std::mutex> guard(t.Lock);
    auto it = t.Keys.find(reinterpret_cast<uintptr_t>(hKey));
    if (it == t.Keys.end())
        return ERROR_INVALID_HANDLE;
    key = std::move(it->second);
    t.Keys.erase(it);
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
    if (lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<KeyObject> key;
    LSTATUS rc = Resolve(hKey, key);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (!(key->Access & KEY_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;

    ValueRow row;
    {
        KeyTransaction tx(*key, false);
        sqlite3 *db = tx.Db();
        rc = tx.Status;
        if (rc == ERROR_SUCCESS)
            rc = ReadValue(db, key->Id, lpValueName, row);
    }
    if (rc != ERROR_SUCCESS)
        return rc;
    if (lpType)
        *lpType = row.Type;
    return CopyData(row.Data, lpData, lpcbData);
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                       DWORD cbData) {
    (void)Reserved;
    if (!lpData && cbData)
        return ERROR_NOACCESS;
    const char *name = lpValueName ? lpValueName : "";
    size_t nameLength = std::strlen(name);
    if (nameLength > MaxValueNameLength)
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<KeyObject> key;
    LSTATUS rc = Resolve(hKey, key);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (!(key->Access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;

    KeyTransaction tx(*key, true);
    if (tx.Status != ERROR_SUCCESS)
        return tx.Status;
    sqlite3 *db = tx.Db();

    // A rewritten value keeps its name as first created and its place in the enumeration.
    std::string fold = Fold(name, nameLength);
    Statement upd(db, "UPDATE vals SET type=?, data=? WHERE key=? AND fold=?");
    if (!upd.Ok())
        return ErrorFromSqlite(db, upd.Prepared());
    upd.Bind(1, dwType);
    upd.BindBytes(2, lpData, cbData);
    upd.Bind(3, key->Id);
    upd.Bind(4, fold);
    int step = upd.Step();
    if (step != SQLITE_DONE)
        return ErrorFromSqlite(db, step);
    if (sqlite3_changes(db) == 0) {
        Statement ins(db,
                      "INSERT INTO vals(key, fold, name, type, data, seq) VALUES(?1,?2,?3,?4,?5,"
                      " (SELECT IFNULL(MAX(seq), 0) + 1 FROM vals WHERE key=?1))");
        if (!ins.Ok())
            return ErrorFromSqlite(db, ins.Prepared());
        ins.Bind(1, key->Id);
        ins.Bind(2, fold);
        ins.Bind(3, std::string(name, nameLength));
        ins.Bind(4, dwType);
        ins.BindBytes(5, lpData, cbData);
        step = ins.Step();
        if (step != SQLITE_DONE)
            return ErrorFromSqlite(db, step);
    }
    rc = Touch(db, key->Id);
    if (rc != ERROR_SUCCESS)
        return rc;
    return tx.Commit();
}

LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<KeyObject> key;
    LSTATUS rc = Resolve(hKey, key);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (!(key->Access & KEY_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;

    ValueRow row;
    {
        KeyTransaction tx(*key, false);
        sqlite3 *db = tx.Db();
        rc = tx.Status;
        if (rc == ERROR_SUCCESS) {
            Statement st(db, "SELECT name, type, data FROM vals WHERE key=? ORDER BY seq LIMIT 1 OFFSET ?");
            if (!st.Ok()) {
                rc = ErrorFromSqlite(db, st.Prepared());
            } else {
                st.Bind(1, key->Id);
                st.Bind(2, static_cast<sqlite3_int64>(dwIndex));
                int step = st.Step();
                if (step == SQLITE_ROW) {
                    row.Name = st.Blob(0);
                    row.Type = static_cast<DWORD>(st.Int(1));
                    row.Data = st.Blob(2);
                } else {
                    rc = step == SQLITE_DONE ? ERROR_NO_MORE_ITEMS : ErrorFromSqlite(db, step);
                }
            }
        }
    }
    if (rc != ERROR_SUCCESS)
        return rc;

    // The name buffer size counts the terminating NUL; the length returned does not.
    if (row.Name.size() + 1 > *lpcchValueName)
        return ERROR_MORE_DATA;
    std::memcpy(lpValueName, row.Name.data(), row.Name.size());
    lpValueName[row.Name.size()] = '\0';
    *lpcchValueName = static_cast<DWORD>(row.Name.size());
    if (lpType)
        *lpType = row.Type;
    return CopyData(row.Data, lpData, lpcbData);
}

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    const char *name = lpValueName ? lpValueName : "";
    std::shared_ptr<KeyObject> key;
    LSTATUS rc = Resolve(hKey, key);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (!(key->Access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;

    KeyTransaction tx(*key, true);
    if (tx.Status != ERROR_SUCCESS)
        return tx.Status;
    sqlite3 *db = tx.Db();
    Statement del(db, "DELETE FROM vals WHERE key=? AND fold=?");
    if (!del.Ok())
        return ErrorFromSqlite(db, del.Prepared());
    del.Bind(1, key->Id);
    del.Bind(2, Fold(name, std::strlen(name)));
    int step = del.Step();
    if (step != SQLITE_DONE)
        return ErrorFromSqlite(db, step);
    if (sqlite3_changes(db) == 0)
        return ERROR_FILE_NOT_FOUND;
    rc = Touch(db, key->Id);
    if (rc != ERROR_SUCCESS)
        return rc;
    return tx.Commit();
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                      LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<KeyObject> key;
    LSTATUS rc = Resolve(hKey, key);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (!(key->Access & KEY_ENUMERATE_SUB_KEYS))
        return ERROR_ACCESS_DENIED;

    std::string name;
    sqlite3_int64 stamp = 0;
    {
        KeyTransaction tx(*key, false);
        sqlite3 *db = tx.Db();
        rc = tx.Status;
        if (rc == ERROR_SUCCESS) {
            Statement st(db, "SELECT name, stamp FROM keys WHERE parent=? ORDER BY fold LIMIT 1 OFFSET ?");
            if (!st.Ok()) {
                rc = ErrorFromSqlite(db, st.Prepared());
            } else {
                st.Bind(1, key->Id);
                st.Bind(2, static_cast<sqlite3_int64>(dwIndex));
                int step = st.Step();
                if (step == SQLITE_ROW) {
                    name = st.Blob(0);
                    stamp = st.Int(1);
                } else {
                    rc = step == SQLITE_DONE ? ERROR_NO_MORE_ITEMS : ErrorFromSqlite(db, step);
                }
            }
        }
    }
    if (rc != ERROR_SUCCESS)
        return rc;
    if (name.size() + 1 > *lpcchName)
        return ERROR_MORE_DATA;
    std::memcpy(lpName, name.data(), name.size());
    lpName[name.size()] = '\0';
    *lpcchName = static_cast<DWORD>(name.size());
    if (lpClass) {
        if (*lpcchClass < 1)
            return ERROR_MORE_DATA;
        lpClass[0] = '\0';
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime) {
        lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(stamp));
        lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(stamp) >> 32);
    }
    return ERROR_SUCCESS;
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (!lpSubKey)
        return ERROR_INVALID_PARAMETER;
    std::vector<std::string> parts;
    std::shared_ptr<KeyObject> base;
    LSTATUS rc = ResolvePath(hKey, lpSubKey, base, parts);
    if (rc != ERROR_SUCCESS)
        return rc;

    KeyTransaction tx(*base, true);
    if (tx.Status != ERROR_SUCCESS)
        return tx.Status;
    sqlite3 *db = tx.Db();
    sqlite3_int64 id = base->Id;
    for (const std::string &part : parts) {
        sqlite3_int64 child = 0;
        rc = FindChild(db, id, part, child);
        if (rc != ERROR_SUCCESS)
            return rc;
        if (child == 0)
            return ERROR_FILE_NOT_FOUND;
        id = child;
    }
    // The roots stay, and a key with subkeys is not deleted.
    if (id == LocalMachineId || id == CurrentUserId)
        return ERROR_ACCESS_DENIED;
    Statement sub(db, "SELECT 1 FROM keys WHERE parent=? LIMIT 1");
    if (!sub.Ok())
        return ErrorFromSqlite(db, sub.Prepared());
    sub.Bind(1, id);
    int step = sub.Step();
    if (step == SQLITE_ROW)
        return ERROR_ACCESS_DENIED;
    if (step != SQLITE_DONE)
        return ErrorFromSqlite(db, step);
    Statement delVals(db, "DELETE FROM vals WHERE key=?");
    Statement delKey(db, "DELETE FROM keys WHERE id=?");
    if (!delVals.Ok() || !delKey.Ok())
        return ErrorFromSqlite(db, delVals.Ok() ? delKey.Prepared() : delVals.Prepared());
    delVals.Bind(1, id);
    delKey.Bind(1, id);
    step = delVals.Step();
    if (step == SQLITE_DONE)
        step = delKey.Step();
    if (step != SQLITE_DONE)
        return ErrorFromSqlite(db, step);
    return tx.Commit();
}

DWORD KestruneSetRegistryWaitLimit(DWORD milliseconds) {
    const DWORD previous = WaitLimitMs;
    WaitLimitMs = milliseconds;
    return previous;
}

DWORD KestruneRegistryStorePath(char *path, DWORD size) {
    const std::string dir = kestrune::KestruneRootPath();
    if (dir.empty() || path == nullptr)
        return 0;
    const std::string file = dir + "/registry.db";
    if (file.size() + 1 > size)
        return 0;
    std::memcpy(path, file.c_str(), file.size() + 1);
    return static_cast<DWORD>(file.size());
}

DWORD KestruneSetRegistryStoreAside(const char *suffix, char *movedTo, DWORD size) {
    const std::string dir = kestrune::KestruneRootPath();
    if (dir.empty() || suffix == nullptr || suffix[0] == '\0' || std::strchr(suffix, '/') != nullptr)
        return ERROR_INVALID_PARAMETER;
    const std::string file = dir + "/registry.db";
    const std::string aside = file + suffix;
    if (movedTo != nullptr && aside.size() + 1 > size)
        return ERROR_INSUFFICIENT_BUFFER;
    // A name already taken is never replaced: the damaged store there stays as it is.
    if (access(aside.c_str(), F_OK) == 0)
        return ERROR_ALREADY_EXISTS;
    if (rename(file.c_str(), aside.c_str()) != 0)
        return Win32ErrorFromErrno(errno);
    // The journal belongs to the damaged store; a fresh store must not replay it.
    for (const char *journal : {"-wal", "-shm", "-journal"}) {
        const std::string from = file + journal;
        if (access(from.c_str(), F_OK) == 0 && rename(from.c_str(), (aside + journal).c_str()) != 0)
            unlink(from.c_str());
    }
    if (movedTo != nullptr)
        std::memcpy(movedTo, aside.c_str(), aside.size() + 1);
    return 0;
}
