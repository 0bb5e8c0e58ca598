// tarnwick._stamps: a folder's source files checked against the stamps the last walk kept
// (folder_check.hpp), one lstat each and no Python object per file that holds.
#include "folder_check.hpp"
#include "folder_files.hpp"
#include "py_call.hpp"
#include "stamp_batch.hpp"

namespace stamps {

namespace {

using cp::expect_arguments;
using cp::guarded;

PyObject* check(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 8) expect_arguments(nargs, 6, "check_folder");
        PyObject* batch = nargs == 8 && args[6] != Py_None ? args[6] : nullptr;
        return check_folder(args[0], args[1], args[2], args[3], args[4], args[5], batch,
                            nargs == 8 ? args[7] : nullptr)
            .release();
    });
}

PyObject* files(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_arguments(nargs, 10, "folder_files");
        folder_files(args);
        Py_RETURN_NONE;
    });
}

PyObject* folders(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_arguments(nargs, 2, "stat_folders");
        return stat_folders(args[0], args[1]).release();
    });
}

PyMethodDef module_methods[] = {
    {"check_folder", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check)),
     METH_FASTCALL,
     "check_folder(prefix, names, codes, stamps, changed_after, limit[, batch, at])\n"
     "-> (stamps now, change times, unvouched, notable, taken) or None\n"
     "Looks at (lstat) each entry prefix + names[i] whose code codes[i] is U+0100 or above "
     "(a source or declaration file), in order, against its kept size and modification time "
     "stamps[2k], stamps[2k + 1]; with batch (file stamps from stat_folders, or None), the k-th "
     "of them is not looked at but taken from its entry at + k. None when one is gone, no "
     "longer a "
     "regular file, cannot be "
     "looked at, or its kept stamp is not a 64-bit int: the folder must be listed again. Else "
     "the stamps found (the very list stamps when all hold), their change times as native "
     "64-bit ints, the indices of the files whose size or time differ or whose change time is "
     "changed_after or later, (index, size, mtime_ns, ctime_ns) of those larger than limit "
     "and of the declaration files (U+0200 and above), and how many other source files there "
     "are. ValueError when codes or stamps do not fit names."},
    {"stat_folders", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(folders)),
     METH_FASTCALL,
     "stat_folders(root, folders) -> (folder stamps, file stamps, firsts)\n"
     "Looks at each folder (rel, names, codes) of folders, a list of a walk's records as "
     "tuples: the folder root + '/' + rel (stat; root itself for rel ''), and each of its "
     "source files (lstat), the names '/'-joined whose codes are U+0100 or above, all on two "
     "threads without the interpreter's lock. Per folder and per file, six native 64-bit ints: "
     "flags (1: looked at, its times within 64-bit nanoseconds; 2: a regular file; 4: a "
     "folder), size, mtime_ns, ctime_ns, device and inode, all 0 for one not looked at; per "
     "folder, the native 64-bit index of its first file among the files, or -1 for a record "
     "that does not fit (its folder not looked at either)."},
    {"folder_files", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(files)),
     METH_FASTCALL,
     "folder_files(rel_prefix, abs_prefix, names, codes, stamps, ctimes, kinds, limit, "
     "entry_type, out)\n"
     "Appends to out, in order, an entry_type (a tuple type) of (rel_prefix + name, abs_prefix "
     "+ name, size, mtime_ns, ctime_ns, language, grammar) for each source file of a folder "
     "taken from its record: each name whose code is U+0100 or above but below U+0200 (not a "
     "declaration file) and whose size, stamps[2k], is at most limit; mtime_ns is stamps[2k + "
     "1], ctime_ns the k-th native 64-bit int of ctimes, (language, grammar) kinds[code]. "
     "ValueError when the stamps, change times or kinds do not fit the names and codes."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tarnwick._stamps",
    "The walk's check of a folder's files against the stamps it kept.",
    0,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

} // namespace stamps

PyMODINIT_FUNC PyInit__stamps() {
    return PyModuleDef_Init(&stamps::module_def);
}
