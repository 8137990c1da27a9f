#pragma once

#include <cstddef>
#include <initializer_list>
#include <string_view>

// A function's docstring as CPython reads a text signature from it: "name(parameters)\n--\n\n"
// and then the text, if any. __text_signature__ is "(parameters)" and __doc__ the text (None when
// there is none). Built at compile time; a text longer than the buffer is not a constant expression.
struct TextSignature {
    char text[512] = {};
    std::size_t end = 0;
    char function_name[64] = {};  // the name alone, for PyMethodDef and messages
    // The parameters the signature names, "/" not counted.
    std::size_t parameters = 0;

    constexpr void append(std::string_view part) {
        for (char c : part) text[end++] = c;
    }
    constexpr void append_parameter(std::string_view name) {
        if (name != "/") ++parameters;
        if (end > 0 && text[end - 1] != '(') append(", ");
        append(name);
    }
};

// "name(p1, p2, ...)\n--\n\ndoc" of the parameters' names in order.
template <class Names>
constexpr TextSignature text_signature(std::string_view name, const Names &parameters, std::string_view doc = {}) {
    TextSignature signature;
    for (std::size_t i = 0; i < name.size(); ++i) signature.function_name[i] = name[i];
    signature.append(name);
    signature.append("(");
    for (std::string_view parameter : parameters) signature.append_parameter(parameter);
    signature.append(")\n--\n\n");
    signature.append(doc);
    return signature;
}

constexpr TextSignature text_signature(std::string_view name, std::initializer_list<std::string_view> parameters,
                                       std::string_view doc = {}) {
    return text_signature<std::initializer_list<std::string_view>>(name, parameters, doc);
}
