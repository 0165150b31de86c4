/* Fault injection for the store's publishing path, loaded with LD_PRELOAD.
 *
 * The library wraps open/openat, write, fsync, syncfs, rename, close and
 * stat/lstat (both counted as stat) and
 * passes every call through to the C library, except the ones a fault names.
 * Calls are counted per wrapped function only while the program has armed
 * the library (vorl_faults_arm, looked up with dlsym so that the program also
 * runs without it), which keeps the dynamic loader's and the runtime's own
 * start-up calls out of the numbering.
 *
 * VORL_FAULT   comma-separated faults "CALL:NTH:ACTION".  CALL is one of
 *              open, write, fsync, syncfs, rename, close, stat.  NTH counts armed
 *              calls of that function from 1; 0 means every call.  ACTION:
 *                errno=N  fail with errno N (close still releases the fd,
 *                         as Linux does for a failing close)
 *                eintr    fail once with EINTR, like errno=4
 *                short    write: pass on only half of the bytes
 *                zero     write: report 0 bytes written, write nothing
 * VORL_FAULT_TRACE=1   one line per armed call on stderr:
 *              "trace: CALL NTH DETAIL -> pass|fault ACTION"
 *
 * Single-threaded programs only: the counters are plain integers.
 */
#define _GNU_SOURCE
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

enum Call { kOpen, kWrite, kFsync, kSyncfs, kRename, kClose, kStat, kNumCalls };
static const char* const kCallNames[kNumCalls] = {"open",   "write", "fsync", "syncfs",
                                                  "rename", "close", "stat"};

enum Action { kPass, kErrno, kShort, kZero };

#define kMaxFaults 16
struct Fault {
  enum Call call;
  long nth;
  enum Action action;
  int error;
  char text[32];
};

static struct Fault faults[kMaxFaults];
static int num_faults;
static int configured;
static int armed;
static int trace;
static long counts[kNumCalls];

typedef int (*OpenFn)(const char*, int, ...);
typedef int (*OpenatFn)(int, const char*, int, ...);
typedef ssize_t (*WriteFn)(int, const void*, size_t);
typedef int (*FdFn)(int);
typedef int (*RenameFn)(const char*, const char*);

static void* Next(const char* name) {
  void* fn = dlsym(RTLD_NEXT, name);
  if (fn == NULL) {
    /* stdio writes through the C library's internal entry, not ours. */
    fprintf(stderr, "vorl faults: no next definition of %s\n", name);
    abort();
  }
  return fn;
}

static ssize_t RealWrite(int fd, const void* buf, size_t n) {
  static WriteFn fn;
  if (fn == NULL) fn = (WriteFn)Next("write");
  return fn(fd, buf, n);
}

static void Die(const char* what) {
  char line[256];
  const int n = snprintf(line, sizeof line, "vorl faults: bad VORL_FAULT: %s\n", what);
  RealWrite(2, line, (size_t)n);
  _exit(97);
}

static void Configure(void) {
  configured = 1;
  const char* t = getenv("VORL_FAULT_TRACE");
  trace = t != NULL && strcmp(t, "1") == 0;
  const char* spec = getenv("VORL_FAULT");
  if (spec == NULL || *spec == '\0') return;
  char copy[1024];
  if (strlen(spec) >= sizeof copy) Die(spec);
  strcpy(copy, spec);
  char* save = NULL;
  for (char* item = strtok_r(copy, ",", &save); item != NULL; item = strtok_r(NULL, ",", &save)) {
    if (num_faults == kMaxFaults) Die("too many faults");
    struct Fault* f = &faults[num_faults];
    char* colon1 = strchr(item, ':');
    char* colon2 = colon1 ? strchr(colon1 + 1, ':') : NULL;
    if (colon2 == NULL) Die(item);
    *colon1 = '\0';
    *colon2 = '\0';
    int found = 0;
    for (int c = 0; c < kNumCalls; ++c) {
      if (strcmp(item, kCallNames[c]) == 0) {
        f->call = (enum Call)c;
        found = 1;
      }
    }
    if (!found) Die(item);
    char* end = NULL;
    f->nth = strtol(colon1 + 1, &end, 10);
    if (*end != '\0' || f->nth < 0) Die(colon1 + 1);
    const char* action = colon2 + 1;
    snprintf(f->text, sizeof f->text, "%s", action);
    if (strncmp(action, "errno=", 6) == 0) {
      f->action = kErrno;
      f->error = (int)strtol(action + 6, &end, 10);
      if (*end != '\0' || f->error <= 0) Die(action);
    } else if (strcmp(action, "eintr") == 0) {
      f->action = kErrno;
      f->error = EINTR;
    } else if (strcmp(action, "short") == 0 && f->call == kWrite) {
      f->action = kShort;
    } else if (strcmp(action, "zero") == 0 && f->call == kWrite) {
      f->action = kZero;
    } else {
      Die(action);
    }
    ++num_faults;
  }
}

/* Counts one call and returns the fault that applies to it, if any. */
static const struct Fault* Check(enum Call call, long* ordinal) {
  if (!configured) Configure();
  *ordinal = 0;
  if (!armed) return NULL;
  *ordinal = ++counts[call];
  for (int i = 0; i < num_faults; ++i) {
    if (faults[i].call == call && (faults[i].nth == 0 || faults[i].nth == *ordinal)) return &faults[i];
  }
  return NULL;
}

static void Trace(enum Call call, long ordinal, const char* detail, const struct Fault* f) {
  char line[1200];
  const int n = snprintf(line, sizeof line, "trace: %s %ld %s -> %s%s%s\n", kCallNames[call], ordinal, detail,
                         f ? "fault" : "pass", f ? " " : "", f ? f->text : "");
  RealWrite(2, line, (size_t)(n < (int)sizeof line ? n : (int)sizeof line - 1));
}

/* Counts the call, traces it with its detail (a printf format and its
 * arguments), and returns the fault to inject, NULL for none. */
static const struct Fault* Enter(enum Call call, const char* format, ...) {
  long ordinal;
  const struct Fault* f = Check(call, &ordinal);
  if (trace && ordinal != 0) {
    char detail[1100];
    va_list ap;
    va_start(ap, format);
    vsnprintf(detail, sizeof detail, format, ap);
    va_end(ap);
    Trace(call, ordinal, detail, f);
  }
  return f;
}

/* The injected failure: the fault's errno, and -1. */
static int Fail(const struct Fault* f) {
  errno = f->error;
  return -1;
}

/* Exported for the program under test: counting and faults apply only
 * between arm(1) and arm(0).  Arming resets the counters. */
void vorl_faults_arm(int on) {
  if (!configured) Configure();
  if (on) memset(counts, 0, sizeof counts);
  armed = on;
}

/* ---- open ---- */

static int OpenCommon(const char* name, int dirfd, const char* path, int flags, mode_t mode) {
  const struct Fault* f = Enter(kOpen, "%s", path);
  if (f != NULL) return Fail(f);
  if (dirfd == AT_FDCWD && strncmp(name, "openat", 6) != 0) {
    OpenFn fn = (OpenFn)Next(name);
    return fn(path, flags, mode);
  }
  OpenatFn fn = (OpenatFn)Next(name);
  return fn(dirfd, path, flags, mode);
}

static mode_t ModeArg(int flags, va_list ap) {
  return (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE ? (mode_t)va_arg(ap, int) : 0;
}

/* The four entry points differ only in their name and in whether a directory
 * descriptor comes first; a variadic mode cannot be passed on, so each
 * reads its own. */
#define VORL_FAULTY_OPEN(NAME, DIRFD, ...)                 \
  int NAME(__VA_ARGS__ const char* path, int flags, ...) { \
    va_list ap;                                            \
    va_start(ap, flags);                                   \
    const mode_t mode = ModeArg(flags, ap);                \
    va_end(ap);                                            \
    return OpenCommon(#NAME, DIRFD, path, flags, mode);    \
  }

VORL_FAULTY_OPEN(open, AT_FDCWD, )
VORL_FAULTY_OPEN(open64, AT_FDCWD, )
VORL_FAULTY_OPEN(openat, dirfd, int dirfd,)
VORL_FAULTY_OPEN(openat64, dirfd, int dirfd,)

/* ---- write ---- */

ssize_t write(int fd, const void* buf, size_t n) {
  const struct Fault* f = Enter(kWrite, "fd=%d len=%zu", fd, n);
  if (f == NULL) return RealWrite(fd, buf, n);
  switch (f->action) {
    case kErrno:
      errno = f->error;
      return -1;
    case kZero:
      return 0;
    case kShort:
      return RealWrite(fd, buf, n > 1 ? n / 2 : n);
    case kPass:
      break;
  }
  return RealWrite(fd, buf, n);
}

/* ---- fsync, syncfs, close ---- */

static int SyncCommon(enum Call call, const char* name, int fd) {
  FdFn fn = (FdFn)Next(name);
  const struct Fault* f = Enter(call, "fd=%d", fd);
  return f != NULL ? Fail(f) : fn(fd);
}

int fsync(int fd) { return SyncCommon(kFsync, "fsync", fd); }

int syncfs(int fd) { return SyncCommon(kSyncfs, "syncfs", fd); }

int close(int fd) {
  static FdFn fn;
  if (fn == NULL) fn = (FdFn)Next("close");
  const struct Fault* f = Enter(kClose, "fd=%d", fd);
  const int rc = fn(fd);  // the descriptor is gone even when the close reports a failure
  return f != NULL ? Fail(f) : rc;
}

/* ---- rename ---- */

int rename(const char* from, const char* to) {
  static RenameFn fn;
  if (fn == NULL) fn = (RenameFn)Next("rename");
  const struct Fault* f = Enter(kRename, "%s %s", from, to);
  return f != NULL ? Fail(f) : fn(from, to);
}

/* ---- stat ---- */

static int StatFault(const char* path) {
  const struct Fault* f = Enter(kStat, "%s", path);
  return f != NULL ? Fail(f) : 0;
}

/* stat, lstat and their 64-bit forms differ only in their name and buffer. */
#define VORL_FAULTY_STAT(NAME, BUF)                   \
  int NAME(const char* path, BUF* buf) {              \
    typedef int (*Fn)(const char*, BUF*);             \
    static Fn fn;                                     \
    if (fn == NULL) fn = (Fn)Next(#NAME);             \
    return StatFault(path) != 0 ? -1 : fn(path, buf); \
  }

VORL_FAULTY_STAT(stat, struct stat)
VORL_FAULTY_STAT(stat64, struct stat64)
VORL_FAULTY_STAT(lstat, struct stat)
VORL_FAULTY_STAT(lstat64, struct stat64)
