// Fault injection for the crash tests, loaded with LD_PRELOAD into a Python child. It wraps the
// file-system calls the database makes and, once armed through ctypes, makes chosen calls on
// paths under one directory fail with a chosen errno. Calls on other paths (the interpreter's
// own files, pipes) always go through. It also watches every write under the directory and
// remembers whether a file was open to group or others while bytes were written to it.
//
// Operations: write, fsync (regular files), dirsync (fsync of a directory), ftruncate, rename,
// unlink, mkdir, create (open with O_CREAT), trunc (open with O_TRUNC), open (any other open),
// read, opendir, close.
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

enum {
  OP_WRITE,
  OP_FSYNC,
  OP_DIRSYNC,
  OP_FTRUNCATE,
  OP_RENAME,
  OP_UNLINK,
  OP_MKDIR,
  OP_CREATE,
  OP_TRUNC,
  OP_OPEN,
  OP_READ,
  OP_OPENDIR,
  OP_CLOSE,
  OP_COUNT
};

static const char* const OP_NAMES[OP_COUNT] = {
    "write",  "fsync", "dirsync", "ftruncate", "rename",  "unlink", "mkdir",
    "create", "trunc", "open",    "read",      "opendir", "close"};

struct Arm {
  int err;       // 0 = not armed
  long skip;     // matching calls still to let through
  long count;    // calls still to fail; -1 = every later call
  long partial;  // write only: bytes that really reach the file before the failure
};

static pthread_mutex_t MU = PTHREAD_MUTEX_INITIALIZER;
static char PREFIX[PATH_MAX];
static size_t PREFIX_LEN;
static struct Arm ARMS[OP_COUNT];
static long HITS[OP_COUNT];
static unsigned EXPOSED_MODE;  // group/other bits seen on files while they were written

static int op_index(const char* name) {
  for (int i = 0; i < OP_COUNT; ++i) {
    if (strcmp(OP_NAMES[i], name) == 0) return i;
  }
  return -1;
}

static void* real(const char* name) { return dlsym(RTLD_NEXT, name); }

static int under_prefix(const char* path) {
  if (PREFIX_LEN == 0 || path == NULL) return 0;
  char abs[PATH_MAX];
  if (path[0] != '/') {
    if (getcwd(abs, sizeof abs) == NULL) return 0;
    size_t n = strlen(abs);
    if (n + 1 + strlen(path) + 1 > sizeof abs) return 0;
    abs[n] = '/';
    strcpy(abs + n + 1, path);
    path = abs;
  }
  return strncmp(path, PREFIX, PREFIX_LEN) == 0 &&
         (path[PREFIX_LEN] == '/' || path[PREFIX_LEN] == '\0');
}

static int fd_under_prefix(int fd) {
  if (PREFIX_LEN == 0) return 0;
  char link[64], target[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) return 0;
  target[n] = '\0';
  return under_prefix(target);
}

// Whether this matching call must fail; counts the injection. Takes the lock itself.
static int should_fail(int op, int* err, long* partial) {
  int fail = 0;
  pthread_mutex_lock(&MU);
  struct Arm* a = &ARMS[op];
  if (a->err != 0) {
    if (a->skip > 0) {
      --a->skip;
    } else if (a->count != 0) {
      fail = 1;
      *err = a->err;
      if (partial) *partial = a->partial;
      if (a->count > 0 && --a->count == 0) a->err = 0;
      ++HITS[op];
    }
  }
  pthread_mutex_unlock(&MU);
  return fail;
}

static int armed(int op) {
  pthread_mutex_lock(&MU);
  int on = ARMS[op].err != 0;
  pthread_mutex_unlock(&MU);
  return on;
}

// ---- control, called from the test through ctypes ----

void faultshim_set_prefix(const char* prefix) {
  pthread_mutex_lock(&MU);
  snprintf(PREFIX, sizeof PREFIX, "%s", prefix ? prefix : "");
  PREFIX_LEN = strlen(PREFIX);
  while (PREFIX_LEN > 1 && PREFIX[PREFIX_LEN - 1] == '/') PREFIX[--PREFIX_LEN] = '\0';
  pthread_mutex_unlock(&MU);
}

// Makes the (skip + 1)-th next call of `op` under the prefix, and `count` - 1 after it (-1: all
// later ones), fail with `err`. Returns -1 for an unknown operation name.
int faultshim_arm(const char* op, int err, long skip, long count, long partial) {
  int i = op_index(op);
  if (i < 0) return -1;
  pthread_mutex_lock(&MU);
  ARMS[i] = (struct Arm){err, skip, count, partial};
  pthread_mutex_unlock(&MU);
  return 0;
}

void faultshim_disarm_all(void) {
  pthread_mutex_lock(&MU);
  memset(ARMS, 0, sizeof ARMS);
  pthread_mutex_unlock(&MU);
}

long faultshim_hits(const char* op) {
  int i = op_index(op);
  if (i < 0) return -1;
  pthread_mutex_lock(&MU);
  long n = HITS[i];
  pthread_mutex_unlock(&MU);
  return n;
}

unsigned faultshim_exposed_mode(void) {
  pthread_mutex_lock(&MU);
  unsigned m = EXPOSED_MODE;
  pthread_mutex_unlock(&MU);
  return m;
}

// ---- wrapped calls ----

ssize_t write(int fd, const void* buf, size_t n) {
  static ssize_t (*next)(int, const void*, size_t);
  if (!next) next = real("write");
  if (PREFIX_LEN == 0 || !fd_under_prefix(fd)) return next(fd, buf, n);
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077)) {
    pthread_mutex_lock(&MU);
    EXPOSED_MODE |= st.st_mode & 077;
    pthread_mutex_unlock(&MU);
  }
  int err;
  long partial = 0;
  if (should_fail(OP_WRITE, &err, &partial)) {
    if (partial > 0) (void)next(fd, buf, (size_t)partial < n ? (size_t)partial : n);
    errno = err;
    return -1;
  }
  return next(fd, buf, n);
}

ssize_t read(int fd, void* buf, size_t n) {
  static ssize_t (*next)(int, void*, size_t);
  if (!next) next = real("read");
  int err;
  if (armed(OP_READ) && fd_under_prefix(fd) && should_fail(OP_READ, &err, NULL)) {
    errno = err;
    return -1;
  }
  return next(fd, buf, n);
}

int fsync(int fd) {
  static int (*next)(int);
  if (!next) next = real("fsync");
  if (PREFIX_LEN != 0 && (armed(OP_FSYNC) || armed(OP_DIRSYNC)) && fd_under_prefix(fd)) {
    struct stat st;
    int is_dir = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    int err;
    if (should_fail(is_dir ? OP_DIRSYNC : OP_FSYNC, &err, NULL)) {
      errno = err;
      return -1;
    }
  }
  return next(fd);
}

int ftruncate(int fd, off_t length) {
  static int (*next)(int, off_t);
  if (!next) next = real("ftruncate");
  int err;
  if (armed(OP_FTRUNCATE) && fd_under_prefix(fd) && should_fail(OP_FTRUNCATE, &err, NULL)) {
    errno = err;
    return -1;
  }
  return next(fd, length);
}

int close(int fd) {
  static int (*next)(int);
  if (!next) next = real("close");
  int err;
  if (armed(OP_CLOSE) && fd_under_prefix(fd) && should_fail(OP_CLOSE, &err, NULL)) {
    // Like a deferred write error: the descriptor is released all the same.
    next(fd);
    errno = err;
    return -1;
  }
  return next(fd);
}

int rename(const char* from, const char* to) {
  static int (*next)(const char*, const char*);
  if (!next) next = real("rename");
  int err;
  if (armed(OP_RENAME) && (under_prefix(to) || under_prefix(from)) &&
      should_fail(OP_RENAME, &err, NULL)) {
    errno = err;
    return -1;
  }
  return next(from, to);
}

int unlink(const char* path) {
  static int (*next)(const char*);
  if (!next) next = real("unlink");
  int err;
  if (armed(OP_UNLINK) && under_prefix(path) && should_fail(OP_UNLINK, &err, NULL)) {
    errno = err;
    return -1;
  }
  return next(path);
}

int mkdir(const char* path, mode_t mode) {
  static int (*next)(const char*, mode_t);
  if (!next) next = real("mkdir");
  int err;
  if (armed(OP_MKDIR) && under_prefix(path) && should_fail(OP_MKDIR, &err, NULL)) {
    errno = err;
    return -1;
  }
  return next(path, mode);
}

static int open_fault(const char* path, int flags) {
  if (PREFIX_LEN == 0 || !under_prefix(path)) return 0;
  int op = (flags & O_CREAT) ? OP_CREATE : (flags & O_TRUNC) ? OP_TRUNC : OP_OPEN;
  int err;
  if (armed(op) && should_fail(op, &err, NULL)) {
    errno = err;
    return 1;
  }
  return 0;
}

// open and open64 take the mode only when they may create the file.
static int open_through(int (*next)(const char*, int, ...), const char* path, int flags,
                        va_list ap) {
  const mode_t mode =
      (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, mode_t) : 0;
  if (open_fault(path, flags)) return -1;
  return next(path, flags, mode);
}

int open(const char* path, int flags, ...) {
  static int (*next)(const char*, int, ...);
  if (!next) next = real("open");
  va_list ap;
  va_start(ap, flags);
  const int fd = open_through(next, path, flags, ap);
  va_end(ap);
  return fd;
}

int open64(const char* path, int flags, ...) {
  static int (*next)(const char*, int, ...);
  if (!next) next = real("open64");
  va_list ap;
  va_start(ap, flags);
  const int fd = open_through(next, path, flags, ap);
  va_end(ap);
  return fd;
}

DIR* opendir(const char* path) {
  static DIR* (*next)(const char*);
  if (!next) next = real("opendir");
  int err;
  if (armed(OP_OPENDIR) && under_prefix(path) && should_fail(OP_OPENDIR, &err, NULL)) {
    errno = err;
    return NULL;
  }
  return next(path);
}
