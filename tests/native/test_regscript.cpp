#include "shell/RegScript.h"

#include <fstream>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <set>
#include <sstream>

namespace {

struct NoCaseLess {
    bool operator()(const std::string& a, const std::string& b) const {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
            return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
        });
    }
};

struct MemKey {
    std::map<std::string, std::unique_ptr<MemKey>, NoCaseLess> subkeys;
    std::map<std::string, RegValue, NoCaseLess> values;
};

// Registry stand-in with Windows' case-insensitive names. HKU is left out so
// the unsupported-root path can be exercised. One injectable fault: the first
// call of `op` on `faultName` returns `faultCode`.
class MemRegistry : public RegTarget {
public:
    std::map<std::string, MemKey> roots;
    std::multiset<const MemKey*> open;
    std::string faultOp, faultName;
    long faultCode = 0;

    MemRegistry() {
        for (const char* r : {"HKCR", "HKCU", "HKLM"}) roots[r];
    }

    MemKey* Find(const std::string& path, bool create = false) {
        std::istringstream in(path);
        std::string part;
        std::getline(in, part, '\\');
        MemKey* k = &roots.at(part);
        while (k && std::getline(in, part, '\\')) {
            auto it = k->subkeys.find(part);
            if (it == k->subkeys.end()) {
                if (!create) return nullptr;
                it = k->subkeys.emplace(part, std::make_unique<MemKey>()).first;
            }
            k = it->second.get();
        }
        return k;
    }
    std::string Str(const std::string& path, const std::string& value = "") {
        MemKey* k = Find(path);
        if (!k) return "<no key>";
        auto it = k->values.find(value);
        if (it == k->values.end() || it->second.type != RegValueType::String) return "<no value>";
        return it->second.text;
    }
    std::set<std::string> Subkeys(const std::string& path) {
        std::set<std::string> r;
        if (MemKey* k = Find(path))
            for (auto& kv : k->subkeys) r.insert(kv.first);
        return r;
    }

    Key Root(const std::string& n) override {
        auto it = roots.find(n);
        return it == roots.end() ? nullptr : &it->second;
    }
    long CreateKey(Key p, const std::string& n, Key& out) override {
        if (Fault("CreateKey", n)) return faultCode;
        auto& slot = K(p)->subkeys[n];
        if (!slot) slot = std::make_unique<MemKey>();
        return Opened(slot.get(), out);
    }
    long OpenKey(Key p, const std::string& n, Key& out) override {
        if (Fault("OpenKey", n)) return faultCode;
        auto it = K(p)->subkeys.find(n);
        return it == K(p)->subkeys.end() ? 2 : Opened(it->second.get(), out);
    }
    void CloseKey(Key k) override {
        for (auto& r : roots) EXPECT_NE(&r.second, k) << "root handle closed";
        auto it = open.find(K(k));
        ASSERT_NE(it, open.end()) << "closing a handle that is not open";
        open.erase(it);
    }
    long SetString(Key k, const std::string& n, const std::string& d) override {
        return Set(k, n, {RegValueType::String, d, 0, {}});
    }
    long SetDword(Key k, const std::string& n, uint32_t d) override {
        return Set(k, n, {RegValueType::Dword, {}, d, {}});
    }
    long SetBinary(Key k, const std::string& n, const std::vector<uint8_t>& d) override {
        return Set(k, n, {RegValueType::Binary, {}, 0, d});
    }
    long DeleteValue(Key k, const std::string& n) override {
        return Fault("DeleteValue", n) ? faultCode : K(k)->values.erase(n) ? 0 : 2;
    }
    long DeleteTree(Key p, const std::string& n) override { return Fault("DeleteTree", n) ? faultCode : Erase(p, n); }
    long DeleteKey(Key p, const std::string& n) override {
        if (Fault("DeleteKey", n)) return faultCode;
        auto it = K(p)->subkeys.find(n);
        return it != K(p)->subkeys.end() && !it->second->subkeys.empty() ? 5 : Erase(p, n);
    }
    long HasSubKeys(Key k, bool& result) override {
        result = !K(k)->subkeys.empty();
        return 0;
    }

private:
    static MemKey* K(Key k) { return static_cast<MemKey*>(k); }
    bool Fault(const char* op, const std::string& n) {
        if (faultOp != op || faultName != n) return false;
        faultOp.clear();
        return true;
    }
    long Opened(MemKey* k, Key& out) {
        open.insert(k);
        out = k;
        return 0;
    }
    long Set(Key k, const std::string& n, const RegValue& v) {
        if (Fault("Set", n)) return faultCode;
        K(k)->values[n] = v;
        return 0;
    }
    long Erase(Key p, const std::string& n) {
        auto it = K(p)->subkeys.find(n);
        if (it == K(p)->subkeys.end()) return 2;
        EXPECT_EQ(open.count(it->second.get()), 0u) << "deleting an open key";
        K(p)->subkeys.erase(it);
        return 0;
    }
};

const char kModule[] = "C:\\Program Files\\Trel\\TrelClientHelper.dll";
const char kClsid[] = "HKCR\\CLSID\\{6A1F3C52-8E47-4B90-A2D1-3F5C7E9B0A14}";

const char kScript[] = R"(HKCR
{
	TrelClientHelper.ClientHelper.1 = s 'ClientHelper Class'
	{
		CLSID = s '{6A1F3C52-8E47-4B90-A2D1-3F5C7E9B0A14}'
	}
	TrelClientHelper.ClientHelper = s 'ClientHelper Class'
	{
		CLSID = s '{6A1F3C52-8E47-4B90-A2D1-3F5C7E9B0A14}'
		CurVer = s 'TrelClientHelper.ClientHelper.1'
	}
	NoRemove CLSID
	{
		ForceRemove {6A1F3C52-8E47-4B90-A2D1-3F5C7E9B0A14} = s 'ClientHelper Class'
		{
			ProgID = s 'TrelClientHelper.ClientHelper.1'
			VersionIndependentProgID = s 'TrelClientHelper.ClientHelper'
			ForceRemove 'Programmable'
			InprocServer32 = s '%MODULE%'
			{
				val ThreadingModel = s 'Apartment'
			}
			'TypeLib' = s '{4D8B2E61-7A3C-4F15-9E62-B1C0D5A8F327}'
			'Implemented Categories'
			{
				'{7DD95801-9882-11CF-9FA9-00AA006C42C4}'
			}
		}
	}
}
)";

RegScript MustParse(const std::string& text, std::vector<RegReplacement> reps = {{"MODULE", kModule}}) {
    RegScript s;
    std::string err;
    EXPECT_TRUE(ParseRegScript(text, reps, s, err)) << err;
    return s;
}

std::string ParseError(const std::string& text) {
    RegScript s;
    std::string err;
    EXPECT_FALSE(ParseRegScript(text, {{"MODULE", "m"}}, s, err)) << text;
    return err;
}

TEST(RegScriptRun, RegisterWritesEveryKeyAndValueOfTheServerScript) {
    MemRegistry reg;
    // As a resource may store it: with a BOM and NUL padding.
    ASSERT_EQ(RunRegScript(MustParse("\xEF\xBB\xBF" + std::string(kScript) + std::string(3, '\0')), reg, true), 0);
    EXPECT_TRUE(reg.open.empty());

    EXPECT_EQ(reg.Subkeys("HKCR"), (std::set<std::string>{"CLSID", "TrelClientHelper.ClientHelper",
                                                          "TrelClientHelper.ClientHelper.1"}));
    EXPECT_EQ(reg.Str("HKCR\\TrelClientHelper.ClientHelper.1"), "ClientHelper Class");
    EXPECT_EQ(reg.Str("HKCR\\TrelClientHelper.ClientHelper.1\\CLSID"), "{6A1F3C52-8E47-4B90-A2D1-3F5C7E9B0A14}");
    EXPECT_EQ(reg.Str("HKCR\\TrelClientHelper.ClientHelper"), "ClientHelper Class");
    EXPECT_EQ(reg.Str("HKCR\\TrelClientHelper.ClientHelper\\CurVer"), "TrelClientHelper.ClientHelper.1");
    EXPECT_EQ(reg.Subkeys("HKCR\\TrelClientHelper.ClientHelper"), (std::set<std::string>{"CLSID", "CurVer"}));

    const std::string c = kClsid;
    EXPECT_EQ(reg.Subkeys("HKCR\\CLSID"), (std::set<std::string>{"{6A1F3C52-8E47-4B90-A2D1-3F5C7E9B0A14}"}));
    EXPECT_EQ(reg.Str(c), "ClientHelper Class");
    EXPECT_EQ(reg.Subkeys(c), (std::set<std::string>{"ProgID", "VersionIndependentProgID", "Programmable",
                                                     "InprocServer32", "TypeLib", "Implemented Categories"}));
    EXPECT_EQ(reg.Str(c + "\\ProgID"), "TrelClientHelper.ClientHelper.1");
    EXPECT_EQ(reg.Str(c + "\\VersionIndependentProgID"), "TrelClientHelper.ClientHelper");
    EXPECT_TRUE(reg.Find(c + "\\Programmable")->values.empty());
    EXPECT_EQ(reg.Str(c + "\\InprocServer32"), kModule);
    EXPECT_EQ(reg.Str(c + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(reg.Find(c + "\\InprocServer32")->values.size(), 2u);
    EXPECT_EQ(reg.Str(c + "\\TypeLib"), "{4D8B2E61-7A3C-4F15-9E62-B1C0D5A8F327}");
    EXPECT_EQ(reg.Subkeys(c + "\\Implemented Categories"),
              (std::set<std::string>{"{7DD95801-9882-11CF-9FA9-00AA006C42C4}"}));
}

TEST(RegScriptRun, UnregisterRemovesOnlyWhatTheScriptOwns) {
    MemRegistry reg;
    const std::string other = "HKCR\\CLSID\\{00000000-1111-2222-3333-444444444444}\\InprocServer32";
    reg.Find(other, true)->values[""].text = "other.dll";
    ASSERT_EQ(RunRegScript(MustParse(kScript), reg, true), 0);
    reg.Find("HKCR\\TrelClientHelper.ClientHelper\\Extra", true);
    reg.Find("HKCR\\TrelClientHelper.ClientHelper.1")->values["Unlisted"].text = "x";
    reg.Find(std::string(kClsid) + "\\Stale", true);

    ASSERT_EQ(RunRegScript(MustParse(kScript), reg, false), 0);
    EXPECT_TRUE(reg.open.empty());
    EXPECT_EQ(reg.Find("HKCR\\TrelClientHelper.ClientHelper.1"), nullptr);  // unlisted values don't keep it
    EXPECT_EQ(reg.Subkeys("HKCR\\TrelClientHelper.ClientHelper"), std::set<std::string>{"Extra"});
    EXPECT_EQ(reg.Subkeys("HKCR\\CLSID"), std::set<std::string>{"{00000000-1111-2222-3333-444444444444}"});
    EXPECT_EQ(reg.Str(other), "other.dll");

    // A second unregister finds nothing to do, and NoRemove keeps even an empty CLSID.
    MemRegistry empty;
    EXPECT_EQ(RunRegScript(MustParse(kScript), empty, false), 0);
    EXPECT_TRUE(empty.Subkeys("HKCR").empty());
    ASSERT_EQ(RunRegScript(MustParse(kScript), empty, true), 0);
    EXPECT_EQ(RunRegScript(MustParse(kScript), empty, false), 0);
    EXPECT_EQ(empty.Subkeys("HKCR"), std::set<std::string>{"CLSID"});
}

TEST(RegScriptRun, UnregisterDeletesListedValuesOfAKeyThatSurvives) {
    const RegScript s = MustParse("HKCU { Software { Trel = s 'x' { val A = s '1' val B = d 5 Sub } } }");
    MemRegistry reg;
    ASSERT_EQ(RunRegScript(s, reg, true), 0);
    reg.Find("HKCU\\Software\\Trel")->values["C"].text = "keep";
    reg.Find("HKCU\\Software\\Trel\\Foreign", true);
    ASSERT_EQ(RunRegScript(s, reg, false), 0);
    MemKey* trel = reg.Find("HKCU\\Software\\Trel");
    ASSERT_NE(trel, nullptr);
    EXPECT_EQ(trel->values.count("A") + trel->values.count("B"), 0u);
    EXPECT_EQ(reg.Str("HKCU\\Software\\Trel", "C"), "keep");
    EXPECT_EQ(reg.Subkeys("HKCU\\Software\\Trel"), std::set<std::string>{"Foreign"});
}

TEST(RegScriptRun, ForceRemoveAndDeleteClearStaleKeys) {
    MemRegistry reg;
    const std::string c = kClsid;
    reg.Find(c + "\\LocalServer32", true)->values[""].text = "old.exe";
    reg.Find(c + "\\InprocServer32", true)->values["Stale"].text = "1";
    reg.Find(c + "\\programmable\\Junk", true);
    ASSERT_EQ(RunRegScript(MustParse(kScript), reg, true), 0);
    EXPECT_EQ(reg.Find(c + "\\LocalServer32"), nullptr);
    EXPECT_EQ(reg.Find(c + "\\InprocServer32")->values.count("Stale"), 0u);
    EXPECT_TRUE(reg.Subkeys(c + "\\Programmable").empty());

    const RegScript del = MustParse("HKLM { Software { Delete Old = s 'ignored' { New } } }");
    reg.Find("HKLM\\Software\\Old\\Deep", true);
    ASSERT_EQ(RunRegScript(del, reg, true), 0);
    EXPECT_TRUE(reg.Subkeys("HKLM\\Software").empty());  // deleted, nothing written under it
    reg.Find("HKLM\\Software\\Old", true);
    ASSERT_EQ(RunRegScript(del, reg, false), 0);
    EXPECT_NE(reg.Find("HKLM\\Software\\Old"), nullptr);  // unregister leaves Delete keys alone
}

TEST(RegScriptRun, FailuresStopRegistrationButNotUnregistration) {
    MemRegistry reg;
    reg.faultOp = "Set";
    reg.faultName = "ThreadingModel";
    reg.faultCode = 5;
    EXPECT_EQ(RunRegScript(MustParse(kScript), reg, true), 5);
    EXPECT_TRUE(reg.open.empty());
    EXPECT_EQ(reg.Str(std::string(kClsid) + "\\InprocServer32"), kModule);  // kept, not rolled back
    EXPECT_EQ(reg.Find(std::string(kClsid) + "\\TypeLib"), nullptr);        // never reached

    ASSERT_EQ(RunRegScript(MustParse(kScript), reg, true), 0);
    reg.faultOp = "DeleteKey";
    reg.faultName = "TrelClientHelper.ClientHelper.1";
    reg.faultCode = 5;
    EXPECT_EQ(RunRegScript(MustParse(kScript), reg, false), 5);
    EXPECT_TRUE(reg.open.empty());
    EXPECT_EQ(reg.Subkeys("HKCR"), (std::set<std::string>{"CLSID", "TrelClientHelper.ClientHelper.1"}));

    EXPECT_EQ(RunRegScript(MustParse("HKU { X } HKCU { Y }"), reg, true), 87);  // unsupported root
    EXPECT_EQ(reg.Find("HKCU\\Y"), nullptr);
}

TEST(RegScriptParse, ValuesQuotingAndReplacements) {
    const RegScript s = MustParse(
        "hkey_local_machine { K = d 4294967295 { val D1 = D '0x00000000FfFf' val D2 = d 0 val B = b '0aFF10' "
        "val E = b '' val Q = s 'it''s 100%% %module%' val P = d %N% } %FLAG% {guid-like} 'Delete' }",
        {{"MODULE", "C:\\a%b%'c"}, {"N", "0x10"}, {"FLAG", "NoRemove"}});
    ASSERT_EQ(s.roots.size(), 1u);
    EXPECT_EQ(s.roots[0].root, "HKLM");
    const auto& keys = s.roots[0].keys;
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys[0].defaultValue.dword, 0xFFFFFFFFu);
    const auto& v = keys[0].values;
    ASSERT_EQ(v.size(), 6u);
    EXPECT_EQ(v[0].value.dword, 0xFFFFu);
    EXPECT_EQ(v[1].value.type, RegValueType::Dword);
    EXPECT_EQ(v[2].value.bytes, (std::vector<uint8_t>{0x0A, 0xFF, 0x10}));
    EXPECT_TRUE(v[3].value.bytes.empty());
    EXPECT_EQ(v[4].value.text, "it's 100% C:\\a%b%'c");  // replacement text is not re-scanned
    EXPECT_EQ(v[5].value.dword, 16u);
    // A replacement is data, never syntax; a non-GUID '{' opens a block.
    EXPECT_EQ(keys[1].name, "NoRemove");
    EXPECT_EQ(keys[1].flag, RegKeyFlag::None);
    EXPECT_EQ(keys[1].children.at(0).name, "guid-like");
    EXPECT_EQ(keys[2].name, "Delete");  // quoted keywords are names
}

TEST(RegScriptParse, BraceStartsAKeyNameOnlyForAWholeGuid) {
    const RegScript a = MustParse("HKCR{{6a1f3c52-8E47-4B90-A2D1-3F5C7E9B0A14}{X}Foo{Bar}}");
    const auto& k = a.roots.at(0).keys;
    ASSERT_EQ(k.size(), 2u);
    EXPECT_EQ(k[0].name, "{6a1f3c52-8E47-4B90-A2D1-3F5C7E9B0A14}");
    EXPECT_EQ(k[0].children.at(0).name, "X");
    EXPECT_EQ(k[1].children.at(0).name, "Bar");
    const RegScript b = MustParse("HKCR {\n{6A1F3C52-8E47-4B90-A2D1-3F5C7E9B0A14}= s 'v'}");
    EXPECT_EQ(b.roots.at(0).keys.at(0).defaultValue.text, "v");
    // One hex digit short: it is a block, and a block cannot start an entry.
    EXPECT_EQ(ParseError("HKCR\n{\n {6A1F3C52-8E47-4B90-A2D1-3F5C7E9B0A1} }").rfind("line 3:", 0), 0u);
}

TEST(RegScriptParse, MalformedScriptsReportTheirLine) {
    using namespace std::string_literals;
    const struct { std::string text; int line; const char* what; } cases[] = {
        {"", 1, "empty"},
        {" \r\n\t\n", 3, "empty"},
        {"\xEF\xBB\xBF", 1, "empty"},
        {"HKCR\n{\n  Foo\n", 2, "never closed"},
        {"HKCR\n{\n}\n}", 4, "'}'"},
        {"HKCR\nFoo", 2, "expected '{'"},
        {"HKXX { }", 1, "root"},
        {"'HKCR' { }", 1, "root"},
        {"HKCR {\n Foo = s\n}", 2, "missing value"},
        {"HKCR {\n Foo =\n}", 3, "value type"},
        {"HKCR {\n Foo = q 'x' }", 2, "unknown value type"},
        {"HKCR {\n Foo = s bare }", 2, "quoted"},
        {"HKCR {\n\n Foo = d 4294967296 }", 3, "DWORD"},
        {"HKCR { Foo = d 0x100000000 }", 1, "DWORD"},
        {"HKCR { Foo = d -1 }", 1, "DWORD"},
        {"HKCR { Foo = d '0x' }", 1, "DWORD"},
        {"HKCR { Foo = b 'ABC' }", 1, "hex"},
        {"HKCR { Foo = b 'zz' }", 1, "hex"},
        {"HKCR {\n '' }", 2, "empty key name"},
        {"HKCR {\n A\\B }", 2, "backslash"},
        {"HKCR {\n 'A\\B' }", 2, "backslash"},
        {"HKCR {\n val X = s 'y' }", 2, "root"},
        {"HKCR { K { val = s 'y' } }", 1, "value name"},
        {"HKCR { K { val '' = s 'y' } }", 1, "empty value name"},
        {"HKCR {\n NoRemove ForceRemove K }", 2, "key name"},
        {"HKCR { NoRemove }", 1, "key name"},
        {"HKCR {\n K = s 'abc\n\n}", 2, "unterminated quoted"},
        {"HKCR { K = s 'a'b }", 1, "after a quoted"},
        {"HKCR { K'x' }", 1, "quote"},
        {"HKCR {\n K = s '%NOPE%' }", 2, "NOPE"},
        {"HKCR { K = s '50% off' }", 1, "unterminated '%'"},
        {"HKCR { K\n = s '\0' }"s, 2, "NUL"},
    };
    for (const auto& c : cases) {
        const std::string err = ParseError(c.text);
        EXPECT_EQ(err.rfind("line " + std::to_string(c.line) + ":", 0), 0u) << c.text << " -> " << err;
        EXPECT_NE(err.find(c.what), std::string::npos) << c.text << " -> " << err;
    }
}

TEST(RegScriptParse, NestingIsLimited) {
    auto nested = [](int braces) {
        std::string s = "HKCR {";
        for (int i = 1; i < braces; ++i) s += " K {";
        return s + std::string(static_cast<size_t>(braces), '}');
    };
    MustParse(nested(kRegScriptMaxDepth));
    EXPECT_NE(ParseError(nested(kRegScriptMaxDepth + 1)).find("nested"), std::string::npos);
    std::string deep = "HKCR {";
    for (int i = 0; i < 200000; ++i) deep += "K{";
    EXPECT_NE(ParseError(deep).find("nested"), std::string::npos);
}

TEST(RegScriptParse, GarbageNeverCrashesOrHangs) {
    static const char* const kPieces[] = {"HKCR", "HKLM", "{", "}", "=", "'", "''", "s", "d", "b", "val", "NoRemove",
                                          "ForceRemove", "Delete", "%MODULE%", "%", "0x1F", "\\", " ", "\n", "\t",
                                          "{6A1F3C52-8E47-4B90-A2D1-3F5C7E9B0A14}", "K", "'v'", "\0", "\xff"};
    uint32_t seed = 12345;
    auto rnd = [&seed](uint32_t n) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % n;
    };
    const std::string base = kScript;
    int parsed = 0;
    for (int iter = 0; iter < 3000; ++iter) {
        std::string text;
        if (iter % 2) {
            for (uint32_t n = rnd(40); n > 0; --n) {
                const char* p = kPieces[rnd(sizeof(kPieces) / sizeof(kPieces[0]))];
                text += *p ? std::string(p) : std::string(1, '\0');
            }
        } else {
            text = base;
            for (uint32_t n = 1 + rnd(3); n > 0; --n) {
                const size_t at = rnd(static_cast<uint32_t>(text.size()));
                if (rnd(2)) text.erase(at, 1 + rnd(4));
                else text.insert(at, 1, static_cast<char>(rnd(256)));
            }
        }
        RegScript s;
        std::string err;
        if (ParseRegScript(text, {{"MODULE", "m"}}, s, err)) {
            ++parsed;
            MemRegistry reg;
            RunRegScript(s, reg, true);
            RunRegScript(s, reg, false);
            EXPECT_TRUE(reg.open.empty());
        } else {
            EXPECT_EQ(err.rfind("line ", 0), 0u) << err;
        }
    }
    EXPECT_GT(parsed, 0);  // the loop must reach the executor too
}

}  // namespace

TEST(RegScriptRun, ShippedResourceIsTheScriptTestedHere) {
    std::ifstream f(std::string(TREL_SOURCE_DIR) + "/src/resources/TrelClientHelper.rgs", std::ios::binary);
    ASSERT_TRUE(f.good());
    std::string shipped((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    auto trim = [](std::string s) {
        s.erase(0, s.find_first_not_of("\r\n"));
        s.erase(s.find_last_not_of("\r\n") + 1);
        return s;
    };
    EXPECT_EQ(trim(shipped), trim(kScript));
}
