// `ctf asn1` against `openssl asn1parse` on certificates made at test time.
#include <algorithm>
#include <cctype>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

// The JSON parser still pulls in the old global bind placeholders.
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "testsupport.h"

namespace {

using certtest::Ctf;
using certtest::Sh;

struct Node {
    long offset, depth, hl, len;
    int cls;  // 0 universal, 1 application, 2 context, 3 private
    long tag;
    bool operator==(const Node& o) const {
        return offset == o.offset && depth == o.depth && hl == o.hl && len == o.len && cls == o.cls && tag == o.tag;
    }
};

std::ostream& operator<<(std::ostream& os, const Node& n) {
    return os << n.offset << ":d=" << n.depth << " hl=" << n.hl << " l=" << n.len << " class=" << n.cls
              << " tag=" << n.tag;
}

// Universal tag numbers by the names of both tools.
long UniversalTag(const std::string& name) {
    static const std::map<std::string, long> k = {
        {"EOC", 0},          {"BOOLEAN", 1},   {"INTEGER", 2}, {"BIT STRING", 3},
        {"OCTET STRING", 4}, {"NULL", 5},      {"OBJECT", 6},  {"OBJECT IDENTIFIER", 6},
        {"ENUMERATED", 10},  {"SEQUENCE", 16}, {"SET", 17}};
    static const std::map<std::string, long> strings = {
        {"UTF8String", 12},      {"NumericString", 18}, {"PrintableString", 19}, {"T61String", 20},
        {"IA5String", 22},       {"UTCTime", 23},       {"GeneralizedTime", 24}, {"VisibleString", 26},
        {"UniversalString", 28}, {"BMPString", 30}};
    if (auto it = k.find(name); it != k.end()) return it->second;
    // openssl writes these names in capitals, we as the standard does.
    for (const auto& [n, tag] : strings) {
        std::string upper = n;
        for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
        if (name == n || name == upper) return tag;
    }
    return -1;
}

std::vector<Node> ParseOpenssl(const std::string& text) {
    std::vector<Node> out;
    static const std::regex line(R"(^\s*(\d+):d=(\d+)\s+hl=(\d+)\s+l=\s*(\d+)\s+(prim|cons):\s+(.*)$)");
    static const std::regex tagged(R"(^(cont|appl|priv) \[ (\d+) \]\s*$)");
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        if (!std::regex_match(l, m, line)) continue;
        Node n{std::stol(m[1]), std::stol(m[2]), std::stol(m[3]), std::stol(m[4]), 0, -1};
        std::string rest = m[6];
        std::smatch t;
        if (std::regex_match(rest, t, tagged)) {
            n.cls = t[1] == "appl" ? 1 : t[1] == "cont" ? 2 : 3;
            n.tag = std::stol(t[2]);
        } else {
            // The name is padded to a column, then ":value" or "[HEX DUMP]:...".
            std::string name = rest.substr(0, std::min(rest.find("  "), rest.find(':')));
            name.erase(name.find_last_not_of(' ') + 1);
            n.tag = UniversalTag(name);
        }
        out.push_back(n);
    }
    return out;
}

// Our text form; also checks that the tag column is indented two spaces a
// level past the fixed-width fields.
std::vector<Node> ParseCtf(const std::string& text) {
    std::vector<Node> out;
    static const std::regex line(R"(^\s*(\d+): d=(\d+)\s+hl=(\d+) l=(\d+) *(\S.*)$)");
    static const std::regex tagged(R"(^\[(APPLICATION |PRIVATE )?(\d+)\].*$)");
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        if (!std::regex_match(l, m, line)) {
            ADD_FAILURE() << "unexpected line: " << l;
            continue;
        }
        Node n{std::stol(m[1]), std::stol(m[2]), std::stol(m[3]), std::stol(m[4]), 0, -1};
        const long fieldsEnd = static_cast<long>(m.position(4)) + std::max<long>(5, m.length(4)) + 1;
        EXPECT_EQ(static_cast<long>(m.position(5)) - fieldsEnd, 2 * n.depth) << l;
        std::string rest = m[5];
        std::smatch t;
        if (std::regex_match(rest, t, tagged)) {
            n.cls = t[1] == "" ? 2 : t[1] == "APPLICATION " ? 1 : 3;
            n.tag = std::stol(t[2]);
        } else {
            n.tag = UniversalTag(rest.substr(0, rest.find("  ")));
        }
        out.push_back(n);
    }
    return out;
}

void FlattenJson(const boost::property_tree::ptree& arr, std::vector<Node>& out) {
    static const std::map<std::string, int> classes = {
        {"universal", 0}, {"application", 1}, {"context", 2}, {"private", 3}};
    for (const auto& [key, node] : arr) {
        Node n{node.get<long>("offset"),
               node.get<long>("depth"),
               node.get<long>("headerLength"),
               node.get<long>("length"),
               classes.at(node.get<std::string>("class")),
               node.get<long>("tag")};
        out.push_back(n);
        if (auto kids = node.get_child_optional("children")) FlattenJson(*kids, out);
    }
}

class Asn1Interop : public certtest::HomeTest {
protected:
    // A self-signed certificate in DER; empty when openssl failed.
    std::string MakeCert(const std::string& name, const std::string& keyArgs, bool gost) {
        std::string key = home_ / (name + ".key"), pem = home_ / (name + ".pem"), der = home_ / (name + ".der");
        std::string cmd = "openssl req -x509 " + std::string(gost ? "-engine gost " : "") + keyArgs +
                          " -nodes -keyout " + Sh(key) + " -out " + Sh(pem) + " -days 30 -utf8 -subj " +
                          Sh("/CN=Проверка " + name + "/O=Interop/C=RU/emailAddress=t@example.org") + " -addext " +
                          Sh("subjectAltName=DNS:a.example,IP:127.0.0.1") +
                          " -addext keyUsage=critical,digitalSignature,keyEncipherment";
        auto r = certtest::Run(cmd);
        EXPECT_EQ(r.exitCode, 0) << cmd << "\n" << r.err;
        auto c = certtest::Run("openssl x509 -in " + Sh(pem) + " -outform DER -out " + Sh(der));
        EXPECT_EQ(c.exitCode, 0) << c.err;
        return der;
    }

    void Compare(const std::string& der) {
        auto ref = certtest::Run("openssl asn1parse -inform DER -in " + Sh(der));
        ASSERT_EQ(ref.exitCode, 0) << ref.err;
        std::vector<Node> expected = ParseOpenssl(ref.out);
        ASSERT_GT(expected.size(), 20u);
        for (const auto& n : expected) ASSERT_GE(n.tag, 0) << "unmapped openssl name at " << n;

        auto text = Ctf("asn1 " + Sh(der));
        ASSERT_EQ(text.exitCode, certtest::kExitOk) << text.err;
        EXPECT_EQ(ParseCtf(text.out), expected);

        auto json = Ctf("asn1 --json " + Sh(der));
        ASSERT_EQ(json.exitCode, certtest::kExitOk) << json.err;
        boost::property_tree::ptree tree;
        std::istringstream js(json.out);
        boost::property_tree::read_json(js, tree);
        std::vector<Node> flat;
        FlattenJson(tree, flat);
        EXPECT_EQ(flat, expected);

        // The PEM form reads the same.
        std::string pem = der + ".pem";
        ASSERT_EQ(certtest::Run("openssl x509 -inform DER -in " + Sh(der) + " -out " + Sh(pem)).exitCode, 0);
        EXPECT_EQ(Ctf("asn1 " + Sh(pem)).out, text.out);
    }
};

TEST_F(Asn1Interop, RsaCertificateMatchesOpenssl) { Compare(MakeCert("rsa", "-newkey rsa:2048", false)); }

TEST_F(Asn1Interop, GostCertificatesMatchOpenssl) {
    if (!certtest::HaveGostEngine()) GTEST_SKIP() << "no GOST engine for openssl";
    Compare(MakeCert("gost2001", "-newkey gost2001 -pkeyopt paramset:A", true));
    Compare(MakeCert("gost2012_256", "-newkey gost2012_256 -pkeyopt paramset:A", true));
    Compare(MakeCert("gost2012_512", "-newkey gost2012_512 -pkeyopt paramset:B", true));
}

TEST_F(Asn1Interop, MalformedInputExitsTwoWithOffset) {
    std::string der = certtest::ReadFile(MakeCert("bad", "-newkey rsa:2048", false));
    ASSERT_GT(der.size(), 300u);
    // The version INTEGER inside [0] gets a length reaching beyond its
    // parent.
    auto ref = ParseOpenssl(certtest::Run("openssl asn1parse -inform DER -in " + Sh(home_ / "bad.der")).out);
    ASSERT_GT(ref.size(), 4u);
    const Node version = ref[3];
    ASSERT_EQ(version.tag, 2);
    ASSERT_EQ(version.depth, 3);

    struct Case {
        std::string name, bytes;
        long offset;
    };
    std::string badLen = der;
    badLen[version.offset + 1] = 0x7F;
    std::vector<Case> cases = {
        {"truncated", der.substr(0, der.size() / 2), 0},
        {"badlength", badLen, version.offset},
        {"trailing", der + std::string("\x00\x00\x01", 3), static_cast<long>(der.size())},
        {"indefinite", std::string("\x30\x80\x02\x01\x01\x00\x00", 7), 0},
    };
    for (const auto& c : cases) {
        std::string path = home_ / (c.name + ".der");
        certtest::WriteFile(path, c.bytes);
        auto r = Ctf("asn1 " + Sh(path));
        EXPECT_EQ(r.exitCode, certtest::kExitUsage) << c.name;
        EXPECT_NE(r.err.find("offset " + std::to_string(c.offset) + ":"), std::string::npos) << c.name << ": " << r.err;
        auto j = Ctf("asn1 --json " + Sh(path));
        EXPECT_EQ(j.exitCode, certtest::kExitUsage) << c.name;
        EXPECT_TRUE(j.out.empty()) << c.name;
    }
    // BER input is accepted when asked for.
    EXPECT_EQ(Ctf("asn1 --ber " + Sh(home_ / "indefinite.der")).exitCode, certtest::kExitOk);
}

}  // namespace
