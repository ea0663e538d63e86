/* A stand-in for the Firebird client library (fbclient.dll) for the Wine
 * suite: no Windows build of the client is at hand, and the suite tests the
 * Windows program, not the database. It answers the few calls the database
 * layer makes as a database with one PADRAO row whose CGC comes from
 * fbstub.ini beside this DLL, and records every statement it is asked to
 * execute in fbstub.log beside it, so the suite can see an import happen.
 *
 * fbstub.ini: [stub] cgc=<text>  attach_delay_ms=<n> (a slow server).
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <stdint.h>
#include <ibase.h>

#define EXPORT __declspec(dllexport)
/* Handles are pointers in the 32-bit client, integers in the 64-bit one. */
#define HANDLE_NUM(h) ((uintptr_t)(h))
#define MAKE_HANDLE(type, n) ((type)(uintptr_t)(n))
#define MAX_STMT 64

enum Kind { kFree = 0, kPadrao, kOtherSelect, kExec };

typedef struct {
  enum Kind kind;
  char text[8192];
  int row;
} Stmt;

static Stmt g_stmt[MAX_STMT];
static char g_dir[MAX_PATH];

static void Dir(void) {
  HMODULE self = NULL;
  char* slash;
  if (g_dir[0]) return;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      (LPCSTR)&Dir, &self);
  GetModuleFileNameA(self, g_dir, MAX_PATH);
  slash = strrchr(g_dir, '\\');
  if (slash) slash[1] = '\0';
}

static void Record(const char* what, const char* text) {
  char path[MAX_PATH + 16];
  FILE* f;
  Dir();
  snprintf(path, sizeof path, "%sfbstub.log", g_dir);
  f = fopen(path, "ab");
  if (!f) return;
  fprintf(f, "%s%s%s\n", what, text ? " " : "", text ? text : "");
  fclose(f);
}

static void Setting(const char* key, char* out, DWORD size) {
  char path[MAX_PATH + 16];
  Dir();
  snprintf(path, sizeof path, "%sfbstub.ini", g_dir);
  GetPrivateProfileStringA("stub", key, "", out, size, path);
}

static ISC_STATUS Ok(ISC_STATUS* status) {
  if (status) {
    status[0] = isc_arg_gds;
    status[1] = 0;
    status[2] = isc_arg_end;
  }
  return 0;
}

static Stmt* Get(isc_stmt_handle* h) {
  if (!h || HANDLE_NUM(*h) == 0 || HANDLE_NUM(*h) > MAX_STMT) return NULL;
  return &g_stmt[HANDLE_NUM(*h) - 1];
}

static void SetVar(XSQLVAR* v, short type, short len, const char* name) {
  memset(v, 0, sizeof *v);
  v->sqltype = type;
  v->sqllen = len;
  v->sqlname_length = v->relname_length = v->ownname_length = 0;
  v->aliasname_length = (short)strlen(name);
  memcpy(v->aliasname, name, strlen(name));
  memcpy(v->sqlname, name, strlen(name));
  v->sqlname_length = (short)strlen(name);
}

static void Describe(Stmt* s, XSQLDA* out) {
  if (!out) return;
  out->sqld = s->kind == kPadrao ? 2 : 0;
  if (s->kind == kPadrao && out->sqln >= 2) {
    SetVar(&out->sqlvar[0], SQL_LONG, 4, "CODIGO");
    SetVar(&out->sqlvar[1], SQL_VARYING, 32, "CGC");
  }
}

EXPORT ISC_STATUS ISC_EXPORT isc_attach_database(ISC_STATUS* status, short len,
                                                 const ISC_SCHAR* name, isc_db_handle* db,
                                                 short dpb_len, const ISC_SCHAR* dpb) {
  char path[1024];
  char delay[32];
  size_t n = len > 0 ? (size_t)len : strlen(name);
  (void)dpb_len;
  (void)dpb;
  if (n >= sizeof path) n = sizeof path - 1;
  memcpy(path, name, n);
  path[n] = '\0';
  Record("ATTACH", path);
  Setting("attach_delay_ms", delay, sizeof delay);
  if (delay[0]) Sleep((DWORD)atoi(delay));
  *db = MAKE_HANDLE(isc_db_handle, 1);
  return Ok(status);
}

EXPORT ISC_STATUS ISC_EXPORT isc_detach_database(ISC_STATUS* status, isc_db_handle* db) {
  Record("DETACH", NULL);
  *db = 0;
  return Ok(status);
}

EXPORT ISC_STATUS ISC_EXPORT isc_start_multiple(ISC_STATUS* status, isc_tr_handle* tr, short count,
                                                void* teb) {
  (void)count;
  (void)teb;
  *tr = MAKE_HANDLE(isc_tr_handle, 1);
  return Ok(status);
}

EXPORT ISC_STATUS ISC_EXPORT isc_commit_transaction(ISC_STATUS* status, isc_tr_handle* tr) {
  Record("COMMIT", NULL);
  *tr = 0;
  return Ok(status);
}

EXPORT ISC_STATUS ISC_EXPORT isc_rollback_transaction(ISC_STATUS* status, isc_tr_handle* tr) {
  Record("ROLLBACK", NULL);
  *tr = 0;
  return Ok(status);
}

EXPORT ISC_STATUS ISC_EXPORT isc_dsql_allocate_statement(ISC_STATUS* status, isc_db_handle* db,
                                                         isc_stmt_handle* stmt) {
  int i;
  (void)db;
  for (i = 0; i < MAX_STMT; ++i) {
    if (g_stmt[i].kind == kFree) {
      g_stmt[i].kind = kExec;
      g_stmt[i].text[0] = '\0';
      *stmt = MAKE_HANDLE(isc_stmt_handle, i + 1);
      return Ok(status);
    }
  }
  status[0] = isc_arg_gds;
  status[1] = isc_virmemexh;
  status[2] = isc_arg_end;
  return status[1];
}

EXPORT ISC_STATUS ISC_EXPORT isc_dsql_prepare(ISC_STATUS* status, isc_tr_handle* tr,
                                              isc_stmt_handle* stmt, unsigned short len,
                                              const ISC_SCHAR* text, unsigned short dialect,
                                              XSQLDA* out) {
  Stmt* s = Get(stmt);
  size_t n = len > 0 ? len : strlen(text);
  (void)tr;
  (void)dialect;
  if (n >= sizeof s->text) n = sizeof s->text - 1;
  memcpy(s->text, text, n);
  s->text[n] = '\0';
  if (_strnicmp(s->text, "SELECT", 6) == 0) {
    s->kind = strstr(s->text, "FROM PADRAO") ? kPadrao : kOtherSelect;
  } else {
    s->kind = kExec;
  }
  Describe(s, out);
  return Ok(status);
}

EXPORT ISC_STATUS ISC_EXPORT isc_dsql_describe(ISC_STATUS* status, isc_stmt_handle* stmt,
                                               unsigned short version, XSQLDA* out) {
  (void)version;
  Describe(Get(stmt), out);
  return Ok(status);
}

EXPORT ISC_STATUS ISC_EXPORT isc_dsql_describe_bind(ISC_STATUS* status, isc_stmt_handle* stmt,
                                                    unsigned short version, XSQLDA* in) {
  (void)stmt;
  (void)version;
  if (in) in->sqld = 0;
  return Ok(status);
}

EXPORT ISC_STATUS ISC_EXPORT isc_dsql_execute(ISC_STATUS* status, isc_tr_handle* tr,
                                              isc_stmt_handle* stmt, unsigned short version,
                                              const XSQLDA* in) {
  Stmt* s = Get(stmt);
  (void)tr;
  (void)version;
  (void)in;
  if (s->kind == kExec) Record("EXEC", s->text);
  s->row = 0;
  return Ok(status);
}

EXPORT ISC_STATUS ISC_EXPORT isc_dsql_fetch(ISC_STATUS* status, isc_stmt_handle* stmt,
                                            unsigned short version, const XSQLDA* out) {
  Stmt* s = Get(stmt);
  char cgc[64];
  short n;
  (void)version;
  Ok(status);
  if (s->kind != kPadrao || s->row > 0) return 100;
  s->row = 1;
  *(ISC_LONG*)out->sqlvar[0].sqldata = 1;
  if (out->sqlvar[0].sqlind) *out->sqlvar[0].sqlind = 0;
  Setting("cgc", cgc, sizeof cgc);
  n = (short)strlen(cgc);
  memcpy(out->sqlvar[1].sqldata, &n, sizeof n);
  memcpy(out->sqlvar[1].sqldata + 2, cgc, (size_t)n);
  if (out->sqlvar[1].sqlind) *out->sqlvar[1].sqlind = 0;
  return 0;
}

EXPORT ISC_STATUS ISC_EXPORT isc_dsql_sql_info(ISC_STATUS* status, isc_stmt_handle* stmt,
                                               short item_len, const ISC_SCHAR* items,
                                               short buf_len, ISC_SCHAR* buf) {
  Stmt* s = Get(stmt);
  const int type = s->kind == kExec ? isc_info_sql_stmt_update : isc_info_sql_stmt_select;
  (void)item_len;
  (void)items;
  if (buf_len >= 8) {
    buf[0] = isc_info_sql_stmt_type;
    buf[1] = 4;
    buf[2] = 0;
    buf[3] = (ISC_SCHAR)type;
    buf[4] = buf[5] = buf[6] = 0;
    buf[7] = isc_info_end;
  }
  return Ok(status);
}

EXPORT ISC_STATUS ISC_EXPORT isc_dsql_free_statement(ISC_STATUS* status, isc_stmt_handle* stmt,
                                                     unsigned short option) {
  Stmt* s = Get(stmt);
  if (s && option == DSQL_drop) {
    s->kind = kFree;
    *stmt = 0;
  }
  return Ok(status);
}

EXPORT ISC_LONG ISC_EXPORT fb_interpret(ISC_SCHAR* buf, unsigned int size,
                                        const ISC_STATUS** vector) {
  (void)vector;
  if (size > 0) buf[0] = '\0';
  return 0;
}

EXPORT ISC_LONG ISC_EXPORT isc_sqlcode(const ISC_STATUS* status) {
  (void)status;
  return 0;
}

EXPORT void ISC_EXPORT isc_sql_interprete(short code, ISC_SCHAR* buf, short size) {
  (void)code;
  if (size > 0) buf[0] = '\0';
}

EXPORT int ISC_EXPORT isc_get_client_major_version(void) { return 3; }
EXPORT int ISC_EXPORT isc_get_client_minor_version(void) { return 0; }
