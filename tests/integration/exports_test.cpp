// libcert.so exports what include/cert/ declares and nothing else: every
// name in its dynamic symbol table is made of names the exported headers
// declare, so an internal type or helper that leaks out fails here.
#include <cctype>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>

#include "testsupport.h"

namespace {

// The identifiers of a header, comments and string literals left out.
void CollectNames(const std::string& text, std::set<std::string>& names) {
    auto isIdent = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
    for (std::size_t i = 0; i < text.size();) {
        if (text.compare(i, 2, "//") == 0) {
            i = text.find('\n', i);
        } else if (text.compare(i, 2, "/*") == 0) {
            i = text.find("*/", i);
            if (i != std::string::npos) i += 2;
        } else if (text[i] == '"' || text[i] == '\'') {
            const char quote = text[i++];
            while (i < text.size() && text[i] != quote) i += text[i] == '\\' ? 2 : 1;
            ++i;
        } else if (isIdent(text[i]) && !std::isdigit(static_cast<unsigned char>(text[i]))) {
            std::size_t end = i;
            while (end < text.size() && isIdent(text[end])) ++end;
            names.insert(text.substr(i, end - i));
            i = end;
        } else {
            ++i;
        }
        if (i == std::string::npos) break;
    }
}

std::set<std::string> DeclaredNames() {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(std::string(CERT_SOURCE_DIR) + "/include/cert"))
        CollectNames(certtest::ReadFile(e.path().string()), names);
    return names;
}

// "vtable for asn::Error" -> {"asn", "Error"}; "IdentObj::~IdentObj()" ->
// {"IdentObj", "IdentObj"}: the components of the qualified name, without
// template arguments, parameters or a return type.
std::vector<std::string> Components(std::string symbol) {
    for (const char* prefix : {"typeinfo name for ", "typeinfo for ", "vtable for ", "VTT for ", "guard variable for "})
        if (symbol.rfind(prefix, 0) == 0) symbol.erase(0, std::strlen(prefix));
    for (auto abi = symbol.find("[abi:"); abi != std::string::npos; abi = symbol.find("[abi:"))
        symbol.erase(abi, symbol.find(']', abi) + 1 - abi);
    std::string flat;  // template arguments and parameters dropped
    int depth = 0;
    for (char c : symbol) {
        if (c == '<' || c == '(') ++depth;
        if (depth == 0) flat += c;
        if ((c == '>' || c == ')') && depth > 0) --depth;
    }
    if (auto sp = flat.rfind(' '); sp != std::string::npos && flat.find("operator") == std::string::npos)
        flat.erase(0, sp + 1);  // a template's return type
    std::vector<std::string> parts;
    std::stringstream in(flat);
    for (std::string part; std::getline(in, part, ':');) {
        if (part.empty()) continue;
        if (part.rfind("operator", 0) == 0) part = "operator";
        if (part[0] == '~') part.erase(0, 1);
        parts.push_back(part);
    }
    return parts;
}

TEST(Exports, OnlyWhatTheHeadersDeclare) {
    certtest::RunResult nm = certtest::Run("nm -D --defined-only -C " + certtest::Sh(CERT_LIBRARY_PATH));
    ASSERT_EQ(nm.exitCode, 0) << nm.err;
    const std::set<std::string> declared = DeclaredNames();
    std::stringstream lines(nm.out);
    int count = 0;
    std::vector<std::string> strays;
    for (std::string line; std::getline(lines, line);) {
        // "<address> <type> <name>"
        auto first = line.find(' ');
        if (first == std::string::npos || line.size() < first + 3) continue;
        std::string name = line.substr(first + 3);
        // The marks AddressSanitizer and coverage builds add.
        if (name.rfind("__odr_asan", 0) == 0 || name.rfind("__gcov", 0) == 0 || name == "mangle_path") continue;
        ++count;
        const std::vector<std::string> parts = Components(name);
        for (const std::string& part : parts)
            if (!declared.count(part)) {
                strays.push_back(name);
                break;
            }
    }
    EXPECT_GT(count, 100) << "the library exports its interface";
    std::string list;
    for (const auto& s : strays) list += "  " + s + "\n";
    EXPECT_TRUE(strays.empty()) << strays.size() << " exported names are not declared in include/cert:\n" << list;
}

}  // namespace
