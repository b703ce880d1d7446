#include "RegScript.h"

#include <cstddef>
#include <utility>

namespace {

constexpr long kErrorFileNotFound = 2;
constexpr long kErrorInvalidParameter = 87;

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return i == a.size() && b[i] == '\0';
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

bool EndsBareToken(char c) { return IsSpace(c) || c == '=' || c == '{' || c == '}'; }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Quoting raw input into messages: keep them one short printable line.
std::string Excerpt(const std::string& s) {
    std::string r;
    for (char c : s) {
        if (r.size() >= 40) {
            r += "...";
            break;
        }
        const unsigned char u = static_cast<unsigned char>(c);
        r += (u < 0x20 || u == 0x7f) ? '?' : c;
    }
    return r;
}

enum class TokKind { End, Open, Close, Equals, Word };

struct Token {
    TokKind kind = TokKind::End;
    std::string text;      // unquoted and expanded
    bool quoted = false;
    bool keyword = false;  // bare and untouched by replacement, so it may act as syntax
    int line = 1;
};

class Lexer {
public:
    Lexer(const std::string& text, const std::vector<RegReplacement>& reps) : s_(text), reps_(reps) {
        // Editors commonly save resource scripts with a UTF-8 BOM.
        if (s_.size() >= 3 && s_.compare(0, 3, "\xEF\xBB\xBF") == 0) pos_ = 3;
        // Resource data may carry a terminator or padding; a NUL elsewhere is an error.
        while (end_ > pos_ && s_[end_ - 1] == '\0') --end_;
    }

    bool Next(Token& t, std::string& err) {
        if (havePeek_) {
            havePeek_ = false;
            t = std::move(peeked_);
            return true;
        }
        return Read(t, err);
    }

    bool Peek(const Token*& t, std::string& err) {
        if (!havePeek_) {
            if (!Read(peeked_, err)) return false;
            havePeek_ = true;
        }
        t = &peeked_;
        return true;
    }

private:
    bool Fail(int line, const std::string& msg, std::string& err) {
        err = "line " + std::to_string(line) + ": " + msg;
        return false;
    }

    // A '{' starts a key name instead of a block only when it begins a complete
    // registry-format GUID, {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, that is itself
    // followed by whitespace, '=', '{', '}' or the end of the script. Anything
    // else after '{' (whitespace, a name, another brace) opens a block, so
    // compact scripts like "Foo{Bar}" still parse as a key with a child.
    static constexpr char kGuidShape[] = "{hhhhhhhh-hhhh-hhhh-hhhh-hhhhhhhhhhhh}";
    static constexpr std::size_t kGuidLen = sizeof(kGuidShape) - 1;

    bool GuidAt(std::size_t p) const {
        if (end_ - p < kGuidLen) return false;
        for (std::size_t i = 0; i < kGuidLen; ++i) {
            const char c = s_[p + i];
            if (kGuidShape[i] == 'h' ? HexDigit(c) < 0 : c != kGuidShape[i]) return false;
        }
        return p + kGuidLen == end_ || EndsBareToken(s_[p + kGuidLen]);
    }

    bool Expand(const std::string& raw, int line, std::string& out, std::string& err) {
        out.clear();
        std::size_t i = 0;
        while (i < raw.size()) {
            const std::size_t pct = raw.find('%', i);
            if (pct == std::string::npos) {
                out.append(raw, i, std::string::npos);
                break;
            }
            out.append(raw, i, pct - i);
            const std::size_t close = raw.find('%', pct + 1);
            if (close == std::string::npos)
                return Fail(line, "unterminated '%' (write %% for a literal percent sign)", err);
            const std::string name = raw.substr(pct + 1, close - pct - 1);
            if (name.empty()) {
                out += '%';
            } else {
                const RegReplacement* hit = nullptr;
                for (const RegReplacement& r : reps_) {
                    if (EqualsNoCase(r.name, name)) {
                        hit = &r;
                        break;
                    }
                }
                if (!hit) return Fail(line, "unknown replacement %" + Excerpt(name) + "%", err);
                out += hit->value;
            }
            i = close + 1;
        }
        return true;
    }

    bool Read(Token& t, std::string& err) {
        t = Token();
        while (pos_ < end_ && IsSpace(s_[pos_])) {
            if (s_[pos_] == '\n') ++line_;
            ++pos_;
        }
        t.line = line_;
        if (pos_ >= end_) return true;

        const char c = s_[pos_];
        if (c == '\0') return Fail(line_, "NUL byte in script", err);
        if (c == '}') {
            ++pos_;
            t.kind = TokKind::Close;
            return true;
        }
        if (c == '=') {
            ++pos_;
            t.kind = TokKind::Equals;
            return true;
        }
        if (c == '{' && !GuidAt(pos_)) {
            ++pos_;
            t.kind = TokKind::Open;
            return true;
        }

        std::string raw;
        t.kind = TokKind::Word;
        if (c == '\'') {
            t.quoted = true;
            ++pos_;
            for (;;) {
                if (pos_ >= end_) return Fail(t.line, "unterminated quoted string", err);
                const char q = s_[pos_];
                if (q == '\0') return Fail(line_, "NUL byte in script", err);
                if (q == '\'') {
                    if (pos_ + 1 < end_ && s_[pos_ + 1] == '\'') {
                        raw += '\'';
                        pos_ += 2;
                        continue;
                    }
                    ++pos_;
                    break;
                }
                if (q == '\n') ++line_;
                raw += q;
                ++pos_;
            }
            // 'a'b would otherwise silently become two names.
            if (pos_ < end_ && !EndsBareToken(s_[pos_]))
                return Fail(line_, "unexpected text right after a quoted string", err);
        } else if (c == '{') {
            // GuidAt already checked the shape and what follows the closing brace.
            raw = s_.substr(pos_, kGuidLen);
            pos_ += kGuidLen;
        } else {
            while (pos_ < end_ && !EndsBareToken(s_[pos_])) {
                const char b = s_[pos_];
                if (b == '\0') return Fail(line_, "NUL byte in script", err);
                if (b == '\'') return Fail(line_, "quote inside an unquoted name", err);
                raw += b;
                ++pos_;
            }
        }
        t.keyword = !t.quoted && raw.find('%') == std::string::npos;
        return Expand(raw, t.line, t.text, err);
    }

    const std::string& s_;
    const std::vector<RegReplacement>& reps_;
    std::size_t pos_ = 0;
    std::size_t end_ = s_.size();
    int line_ = 1;
    bool havePeek_ = false;
    Token peeked_;
};

const char* RootShortName(const std::string& word) {
    static const char* const kRoots[][2] = {
        {"HKCR", "HKEY_CLASSES_ROOT"},
        {"HKCU", "HKEY_CURRENT_USER"},
        {"HKLM", "HKEY_LOCAL_MACHINE"},
        {"HKU", "HKEY_USERS"},
    };
    for (const auto& r : kRoots) {
        if (EqualsNoCase(word, r[0]) || EqualsNoCase(word, r[1])) return r[0];
    }
    return nullptr;
}

bool IsFlagWord(const Token& t, RegKeyFlag* flag) {
    if (t.kind != TokKind::Word || !t.keyword) return false;
    RegKeyFlag f;
    if (EqualsNoCase(t.text, "NoRemove")) f = RegKeyFlag::NoRemove;
    else if (EqualsNoCase(t.text, "ForceRemove")) f = RegKeyFlag::ForceRemove;
    else if (EqualsNoCase(t.text, "Delete")) f = RegKeyFlag::Delete;
    else return false;
    if (flag) *flag = f;
    return true;
}

bool IsValWord(const Token& t) { return t.kind == TokKind::Word && t.keyword && EqualsNoCase(t.text, "val"); }

bool ParseDword(const std::string& s, uint32_t& out) {
    uint64_t v = 0;
    std::size_t i = 0;
    unsigned base = 10;
    if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i >= s.size()) return false;
    for (; i < s.size(); ++i) {
        const int d = HexDigit(s[i]);
        if (d < 0 || static_cast<unsigned>(d) >= base) return false;
        v = v * base + static_cast<unsigned>(d);
        if (v > 0xFFFFFFFFu) return false;
    }
    out = static_cast<uint32_t>(v);
    return true;
}

bool ParseHexBytes(const std::string& s, std::vector<uint8_t>& out) {
    if (s.size() % 2 != 0) return false;
    out.clear();
    out.reserve(s.size() / 2);
    for (std::size_t i = 0; i < s.size(); i += 2) {
        const int hi = HexDigit(s[i]);
        const int lo = HexDigit(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return true;
}

class Parser {
public:
    Parser(const std::string& text, const std::vector<RegReplacement>& reps, std::string& err)
        : lex_(text, reps), err_(err) {}

    bool ParseScript(RegScript& out) {
        Token t;
        for (;;) {
            if (!lex_.Next(t, err_)) return false;
            if (t.kind == TokKind::End) break;
            const char* root = (t.kind == TokKind::Word && t.keyword) ? RootShortName(t.text) : nullptr;
            if (!root) return Fail(t.line, "expected a root key (HKCR, HKCU, HKLM or HKU), found " + Describe(t));
            Token open;
            if (!lex_.Next(open, err_)) return false;
            if (open.kind != TokKind::Open)
                return Fail(open.line, "expected '{' after " + t.text + ", found " + Describe(open));
            RegRootBlock block;
            block.root = root;
            if (!ParseBlock(block.keys, nullptr, 1, open.line)) return false;
            out.roots.push_back(std::move(block));
        }
        if (out.roots.empty()) return Fail(t.line, "script is empty");
        return true;
    }

private:
    bool Fail(int line, const std::string& msg) {
        err_ = "line " + std::to_string(line) + ": " + msg;
        return false;
    }

    static std::string Describe(const Token& t) {
        switch (t.kind) {
            case TokKind::End: return "end of script";
            case TokKind::Open: return "'{'";
            case TokKind::Close: return "'}'";
            case TokKind::Equals: return "'='";
            case TokKind::Word: break;
        }
        return "'" + Excerpt(t.text) + "'";
    }

    // Called after the opening brace; consumes through the matching '}'.
    // `values` is null under a root, where named values make no sense.
    bool ParseBlock(std::vector<RegKeyEntry>& keys, std::vector<RegNamedValue>* values, int depth, int openLine) {
        if (depth > kRegScriptMaxDepth)
            return Fail(openLine, "blocks nested deeper than " + std::to_string(kRegScriptMaxDepth));
        for (;;) {
            Token t;
            if (!lex_.Next(t, err_)) return false;
            switch (t.kind) {
                case TokKind::End: return Fail(openLine, "'{' is never closed");
                case TokKind::Close: return true;
                case TokKind::Open:
                case TokKind::Equals: return Fail(t.line, "expected a key name, found " + Describe(t));
                case TokKind::Word: break;
            }
            if (IsValWord(t)) {
                if (!values) return Fail(t.line, "named values cannot be set directly on a root key");
                if (!ParseNamedValue(*values, t.line)) return false;
            } else if (!ParseKey(t, keys, depth)) {
                return false;
            }
        }
    }

    bool ParseNamedValue(std::vector<RegNamedValue>& values, int valLine) {
        Token name;
        if (!lex_.Next(name, err_)) return false;
        if (name.kind != TokKind::Word)
            return Fail(name.line, "expected a value name after 'val', found " + Describe(name));
        // An empty name would address the default value, which has its own syntax.
        if (name.text.empty()) return Fail(name.line, "empty value name");
        Token eq;
        if (!lex_.Next(eq, err_)) return false;
        if (eq.kind != TokKind::Equals)
            return Fail(eq.kind == TokKind::End ? valLine : eq.line, "expected '=' after value name");
        RegNamedValue v;
        v.name = std::move(name.text);
        if (!ParseTypedValue(v.value, eq.line)) return false;
        values.push_back(std::move(v));
        return true;
    }

    bool ParseKey(Token t, std::vector<RegKeyEntry>& keys, int depth) {
        RegKeyEntry e;
        if (IsFlagWord(t, &e.flag)) {
            const int flagLine = t.line;
            if (!lex_.Next(t, err_)) return false;
            if (t.kind != TokKind::Word || IsFlagWord(t, nullptr) || IsValWord(t))
                return Fail(t.kind == TokKind::End ? flagLine : t.line, "expected a key name, found " + Describe(t));
        }
        if (t.text.empty()) return Fail(t.line, "empty key name");
        if (t.text.find('\\') != std::string::npos)
            return Fail(t.line, "key name '" + Excerpt(t.text) + "' contains a backslash");
        e.name = std::move(t.text);

        const Token* next = nullptr;
        if (!lex_.Peek(next, err_)) return false;
        if (next->kind == TokKind::Equals) {
            const int eqLine = next->line;
            Token eq;
            lex_.Next(eq, err_);
            if (!ParseTypedValue(e.defaultValue, eqLine)) return false;
            e.hasDefault = true;
            if (!lex_.Peek(next, err_)) return false;
        }
        if (next->kind == TokKind::Open) {
            Token open;
            lex_.Next(open, err_);
            if (!ParseBlock(e.children, &e.values, depth + 1, open.line)) return false;
        }
        keys.push_back(std::move(e));
        return true;
    }

    bool ParseTypedValue(RegValue& v, int eqLine) {
        Token type;
        if (!lex_.Next(type, err_)) return false;
        if (type.kind != TokKind::Word)
            return Fail(type.kind == TokKind::End ? eqLine : type.line, "expected a value type (s, d or b) after '='");
        if (!type.keyword) return Fail(type.line, "unknown value type " + Describe(type));
        if (EqualsNoCase(type.text, "s")) v.type = RegValueType::String;
        else if (EqualsNoCase(type.text, "d")) v.type = RegValueType::Dword;
        else if (EqualsNoCase(type.text, "b")) v.type = RegValueType::Binary;
        else return Fail(type.line, "unknown value type " + Describe(type));

        // Report a missing value where the type was, not at whatever follows.
        Token data;
        if (!lex_.Next(data, err_)) return false;
        if (data.kind != TokKind::Word) return Fail(type.line, "missing value after type '" + type.text + "'");
        switch (v.type) {
            case RegValueType::String:
                if (!data.quoted) return Fail(data.line, "string value must be quoted");
                v.text = std::move(data.text);
                break;
            case RegValueType::Dword:
                if (!ParseDword(data.text, v.dword)) return Fail(data.line, "bad DWORD value " + Describe(data));
                break;
            case RegValueType::Binary:
                if (!data.quoted) return Fail(data.line, "binary value must be quoted");
                if (!ParseHexBytes(data.text, v.bytes))
                    return Fail(data.line, "binary value must be an even number of hex digits");
                break;
        }
        return true;
    }

    Lexer lex_;
    std::string& err_;
};

// ---- execution ----

class OpenedKey {
public:
    OpenedKey(RegTarget& t, RegTarget::Key k) : t_(t), k_(k) {}
    ~OpenedKey() { Close(); }
    OpenedKey(const OpenedKey&) = delete;
    OpenedKey& operator=(const OpenedKey&) = delete;
    RegTarget::Key get() const { return k_; }
    void Close() {
        if (open_) t_.CloseKey(k_);
        open_ = false;
    }

private:
    RegTarget& t_;
    RegTarget::Key k_;
    bool open_ = true;
};

bool IsHardError(long rc) { return rc != 0 && rc != kErrorFileNotFound; }

long WriteValue(RegTarget& t, RegTarget::Key k, const std::string& name, const RegValue& v) {
    switch (v.type) {
        case RegValueType::String: return t.SetString(k, name, v.text);
        case RegValueType::Dword: return t.SetDword(k, name, v.dword);
        case RegValueType::Binary: return t.SetBinary(k, name, v.bytes);
    }
    return kErrorInvalidParameter;
}

long RegisterKeys(RegTarget& t, RegTarget::Key parent, const std::vector<RegKeyEntry>& keys);

long RegisterKey(RegTarget& t, RegTarget::Key parent, const RegKeyEntry& e) {
    if (e.flag == RegKeyFlag::Delete || e.flag == RegKeyFlag::ForceRemove) {
        const long rc = t.DeleteTree(parent, e.name);
        if (IsHardError(rc)) return rc;
        if (e.flag == RegKeyFlag::Delete) return 0;
    }
    RegTarget::Key raw = nullptr;
    long rc = t.CreateKey(parent, e.name, raw);
    if (rc != 0) return rc;
    OpenedKey k(t, raw);
    if (e.hasDefault && (rc = WriteValue(t, k.get(), "", e.defaultValue)) != 0) return rc;
    for (const RegNamedValue& v : e.values) {
        if ((rc = WriteValue(t, k.get(), v.name, v.value)) != 0) return rc;
    }
    return RegisterKeys(t, k.get(), e.children);
}

long RegisterKeys(RegTarget& t, RegTarget::Key parent, const std::vector<RegKeyEntry>& keys) {
    for (const RegKeyEntry& e : keys) {
        const long rc = RegisterKey(t, parent, e);
        if (rc != 0) return rc;
    }
    return 0;
}

void Keep(long& first, long rc) {
    if (first == 0 && IsHardError(rc)) first = rc;
}

long UnregisterKeys(RegTarget& t, RegTarget::Key parent, const std::vector<RegKeyEntry>& keys);

long UnregisterKey(RegTarget& t, RegTarget::Key parent, const RegKeyEntry& e) {
    if (e.flag == RegKeyFlag::Delete) return 0;
    if (e.flag == RegKeyFlag::ForceRemove) {
        const long rc = t.DeleteTree(parent, e.name);
        return IsHardError(rc) ? rc : 0;
    }
    RegTarget::Key raw = nullptr;
    const long rc = t.OpenKey(parent, e.name, raw);
    if (rc != 0) return IsHardError(rc) ? rc : 0;
    OpenedKey k(t, raw);
    long first = UnregisterKeys(t, k.get(), e.children);
    if (e.flag == RegKeyFlag::NoRemove) return first;

    for (const RegNamedValue& v : e.values) Keep(first, t.DeleteValue(k.get(), v.name));
    // Subkeys the script does not know belong to someone else; keep the key for them.
    bool hasSubKeys = true;
    const long subRc = t.HasSubKeys(k.get(), hasSubKeys);
    k.Close();
    if (subRc != 0) {
        Keep(first, subRc);
        return first;
    }
    if (!hasSubKeys) Keep(first, t.DeleteKey(parent, e.name));
    return first;
}

long UnregisterKeys(RegTarget& t, RegTarget::Key parent, const std::vector<RegKeyEntry>& keys) {
    long first = 0;
    for (const RegKeyEntry& e : keys) Keep(first, UnregisterKey(t, parent, e));
    return first;
}

}  // namespace

bool ParseRegScript(const std::string& text, const std::vector<RegReplacement>& replacements, RegScript& out,
                    std::string& error) {
    RegScript parsed;
    Parser p(text, replacements, error);
    if (!p.ParseScript(parsed)) return false;
    out = std::move(parsed);
    error.clear();
    return true;
}

long RunRegScript(const RegScript& script, RegTarget& target, bool bRegister) {
    long first = 0;
    for (const RegRootBlock& block : script.roots) {
        RegTarget::Key root = target.Root(block.root);
        long rc;
        if (!root) rc = kErrorInvalidParameter;
        else if (bRegister) rc = RegisterKeys(target, root, block.keys);
        else rc = UnregisterKeys(target, root, block.keys);
        if (rc == 0) continue;
        if (bRegister) return rc;
        if (first == 0) first = rc;
    }
    return first;
}
