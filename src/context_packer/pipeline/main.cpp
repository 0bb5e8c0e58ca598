// The command-line entry: context-packer "your query" [project_root].
#include "function_bodies.hpp"
#include "pipeline/pipeline_lines.hpp"

namespace cp {

namespace {

Ref argv() {
    return get_attr(module_global(K.sys).get(), K.argv);
}

Py_ssize_t argv_length() {
    return check(PyObject_Length(argv().get()));
}

Ref argv_item(Py_ssize_t index) {
    Ref arguments = argv();
    if (PyList_CheckExact(arguments.get()) && index < PyList_GET_SIZE(arguments.get()))
        return Ref::borrow(PyList_GET_ITEM(arguments.get(), index));
    Ref key = checked(PyLong_FromSsize_t(index));
    return checked(PyObject_GetItem(arguments.get(), key.get()));
}

} // namespace

Ref main_body(Frame& frame, PyObject* const*) {
    frame.line = main_line::kIfNoQuery;
    if (argv_length() < 2) {
        frame.line = main_line::kPrintUsage;
        Ref error_stream = get_attr(module_global(K.sys).get(), K.stderr_);
        call_kw(state.print, {K.usage, error_stream.get()}, K.kw_file);
        frame.line = main_line::kExit;
        PyErr_SetObject(PyExc_SystemExit, K.i_1);
        raise();
    }
    frame.line = main_line::kQuery;
    Ref query = argv_item(1);
    frame.line = main_line::kRoot;
    Ref root;
    if (argv_length() > 2) {
        Ref root_argument = argv_item(2);
        root = call(module_global(K.Path).get(), {root_argument.get()});
    } else {
        root = call(module_global(K.Path).get(), {K.dot});
    }
    frame.line = main_line::kPrintBlock;
    Ref resolved = call_method(root.get(), K.resolve, {});
    Ref block = call(module_global(K.pack_for_query).get(), {query.get(), resolved.get()});
    call(state.print, {block.get()});
    return Ref::borrow(Py_None);
}

} // namespace cp
