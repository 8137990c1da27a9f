#include "package/functions.hpp"

PyMethodDef native_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};
