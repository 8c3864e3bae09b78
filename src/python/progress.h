// The `progress` argument of long methods: None or False for nothing, a callable that receives
// (done, total), or True for a terminal bar (tarnwell._progress, tqdm). The core calls it on the
// thread that made the call, with the interpreter lock released; the lock is taken for the
// Python call alone. A callable that raises is reported as unraisable and not called again:
// the work it watches is not stopped halfway. It runs while the collection is locked for the
// work, so it must not call the handle on that collection.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/collection/collection.h"
#include "core/util/progress.h"
#include "python/args.h"
#include "python/ref.h"

namespace tarnwell_py {

class Progress {
 public:
  // Converts `o` (nullptr when omitted); TypeError for anything else, ImportError when True
  // needs tqdm and it is missing. `description` labels the bar.
  bool convert(PyObject* o, ArgName arg, const char* description);
  // The core's callback; empty when there is nothing to report to. Valid while this lives.
  tarnwell_core::ProgressFn fn() const;

 private:
  Ref callable_;
};

// The keyword-only `num_threads` (None: every core; otherwise at least 1) and `progress` of a
// batch method, into `options`; `progress` must outlive the call that uses `options`.
bool parse_batch_options(const char* fname, PyObject* num_threads, PyObject* progress_arg,
                         const char* description, tarnwell_core::BatchOptions* options,
                         Progress* progress);

}  // namespace tarnwell_py
