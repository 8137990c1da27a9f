#include "module/interned.hpp"

#include "module/once.hpp"

namespace {

class Interned {
public:
    explicit Interned(const char *text) : text(text) {}

    PyObject *get() {
        if (guard.run([this] { return (object = PyUnicode_InternFromString(text)) != nullptr; })) return object;
        return nullptr;
    }

private:
    const char *text;
    PyObject *object = nullptr;
    OnceGuard guard;
};

Interned all_name{"__all__"};
Interned name_name{"__name__"};
Interned add_note_name{"add_note"};

}  // namespace

PyObject *interned_all() { return all_name.get(); }
PyObject *interned_name() { return name_name.get(); }
PyObject *interned_add_note() { return add_note_name.get(); }
