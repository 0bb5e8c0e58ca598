// Keeps the reader inside the project: a file id that is absolute, climbs out with "..", or runs
// through a symlink that leaves the tree must not expose files from elsewhere on the machine.
#include <stdlib.h>

#include <cstring>
#include <memory>
#include <string>

#include "excerpts.hpp"

namespace cp::excerpts {

namespace {

// pathlib.PurePath, from the loaded module (the module imports pathlib at start-up).
Ref pure_path_type() {
    Ref pathlib = Ref::steal(PyImport_GetModule(K.pathlib));
    if (pathlib.get() == nullptr) {
        if (PyErr_Occurred()) raise();
        pathlib = checked(PyImport_Import(K.pathlib));
    }
    return get_attr(pathlib.get(), K.ex_PurePath);
}

struct FreeDeleter {
    void operator()(char* text) const { free(text); }
};
using ResolvedPath = std::unique_ptr<char, FreeDeleter>;

// The canonical absolute form of a path object (symlinks, "." and ".." resolved), or null when
// the path cannot be resolved (it does not exist, a loop, no permission).
ResolvedPath resolve(PyObject* path) {
    Ref fs_path = checked(PyOS_FSPath(path));
    Ref encoded;
    if (PyUnicode_Check(fs_path.get()))
        encoded = checked(PyUnicode_EncodeFSDefault(fs_path.get()));
    else
        encoded = std::move(fs_path);
    if (!PyBytes_Check(encoded.get())) return ResolvedPath();
    const char* bytes = PyBytes_AS_STRING(encoded.get());
    // An embedded NUL would silently shorten the path handed to the system.
    if (std::strlen(bytes) != static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())))
        return ResolvedPath();
    return ResolvedPath(realpath(bytes, nullptr));
}

} // namespace

bool path_inside_root(PyObject* project_root, PyObject* file_path) {
    Ref pure_path = pure_path_type();
    if (check(PyObject_IsInstance(project_root, pure_path.get())) == 0) return true;
    ResolvedPath root = resolve(project_root);
    ResolvedPath file = resolve(file_path);
    if (root == nullptr || file == nullptr) return false;
    std::string_view root_text(root.get()), file_text(file.get());
    if (root_text == "/") return true;
    return file_text.starts_with(root_text) &&
           (file_text.size() == root_text.size() || file_text[root_text.size()] == '/');
}

} // namespace cp::excerpts
