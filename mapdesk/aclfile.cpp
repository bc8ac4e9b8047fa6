#include "aclfile.h"

#include <QVector>

#include <algorithm>
#include <locale>
#include <sstream>
#include <string>

namespace AclFile {

namespace {

// Address and prefix as written, host bits still in place.
bool parseRaw(const QString &text, quint32 *address, int *prefix, QString *why)
{
    auto fail = [why](const QString &reason) {
        if (why)
            *why = reason;
        return false;
    };
    if (text.isEmpty())
        return fail(QStringLiteral("为空"));
    for (const QChar ch : text) {
        if (ch.isSpace())
            return fail(QStringLiteral("含有空格"));
        if (ch == ':')
            return fail(QStringLiteral("不支持IPv6地址"));
        if (ch.category() == QChar::Other_Control)
            return fail(QStringLiteral("含有控制字符"));
        if (!(ch >= '0' && ch <= '9') && ch != '.' && ch != '/')
            return fail(QStringLiteral("含有非法字符 \"%1\"").arg(ch));
    }
    QString host = text;
    int bits = 32;
    const int slash = text.indexOf('/');
    if (slash >= 0) {
        host = text.left(slash);
        const QString p = text.mid(slash + 1);
        if (p.isEmpty())
            return fail(QStringLiteral("\"/\"后缺少前缀长度"));
        if (p.size() > 2 || p.contains('/') || p.contains('.') || (p.size() == 2 && p[0] == '0'))
            return fail(QStringLiteral("前缀长度应为0-32 (无前导零)"));
        bits = p.toInt();
        if (bits > 32)
            return fail(QStringLiteral("前缀长度应为0-32"));
    }
    const QStringList parts = host.split('.');
    if (host.isEmpty() || parts.size() != 4)
        return fail(QStringLiteral("应为a.b.c.d或a.b.c.d/n形式的IPv4地址"));
    quint32 a = 0;
    for (const QString &part : parts) {
        if (part.isEmpty() || part.size() > 3)
            return fail(QStringLiteral("应为a.b.c.d或a.b.c.d/n形式的IPv4地址"));
        if (part.size() > 1 && part[0] == '0')
            return fail(QStringLiteral("地址各段不能有前导零"));
        const int v = part.toInt();
        if (v > 255)
            return fail(QStringLiteral("地址各段应为0-255"));
        a = (a << 8) | quint32(v);
    }
    *address = a;
    *prefix = bits;
    return true;
}

quint32 maskOf(int prefix)
{
    return prefix == 0 ? 0u : 0xFFFFFFFFu << (32 - prefix);
}

QString dotted(quint32 a)
{
    return QStringLiteral("%1.%2.%3.%4").arg(a >> 24).arg((a >> 16) & 0xFF).arg((a >> 8) & 0xFF).arg(a & 0xFF);
}

// A JSON value as far as the list needs it.
struct Value {
    enum Type { Null, Scalar, String, Array, Object } type = Null;
    QByteArray text;  // String: decoded bytes
    QVector<Value> items;
    QVector<QPair<QByteArray, Value>> members;
    // The value as written, and for a member its name as written (quotes
    // and escapes kept): the kept keys are written back from these.
    const char *rawStart = nullptr;
    const char *rawStop = nullptr;
    const char *nameStart = nullptr;
    const char *nameStop = nullptr;
};

// Reads JSON with the same leniency as the service's reader in its default
// setting: comments anywhere a token may start, trailing commas, anything
// after the top-level value ignored, a UTF-8 byte-order mark skipped, numbers
// and escapes checked the same way, nesting limited to 1000 levels.
class Reader
{
public:
    explicit Reader(const QByteArray &text)
        : m_begin(text.constData()), m_cur(m_begin), m_end(m_begin + text.size())
    {
        if (text.startsWith("\xEF\xBB\xBF"))
            m_cur = m_begin += 3;
    }

    bool read(Value *root) { return readValue(root, 1); }
    QString error() const { return m_error; }

private:
    enum Kind { ObjBegin, ObjEnd, ArrBegin, ArrEnd, Str, Num, Literal, ArrSep, MemSep, Comment, End, Bad };
    struct Token {
        Kind kind = Bad;
        const char *start = nullptr;
        const char *stop = nullptr;
    };
    static const int kStackLimit = 1000;

    char next() { return m_cur == m_end ? 0 : *m_cur++; }

    void skipSpaces()
    {
        while (m_cur != m_end && (*m_cur == ' ' || *m_cur == '\t' || *m_cur == '\r' || *m_cur == '\n'))
            ++m_cur;
    }

    bool match(const char *rest, int n)
    {
        if (m_end - m_cur < n || qstrncmp(m_cur, rest, uint(n)) != 0)
            return false;
        m_cur += n;
        return true;
    }

    bool readToken(Token &t)
    {
        skipSpaces();
        t.start = m_cur;
        bool ok = true;
        switch (next()) {
        case '{': t.kind = ObjBegin; break;
        case '}': t.kind = ObjEnd; break;
        case '[': t.kind = ArrBegin; break;
        case ']': t.kind = ArrEnd; break;
        case ',': t.kind = ArrSep; break;
        case ':': t.kind = MemSep; break;
        case '"': t.kind = Str; ok = readString(); break;
        case '/': t.kind = Comment; ok = readComment(); break;
        case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9':
            t.kind = Num;
            readNumber();
            break;
        case '-':
        case '+':
            t.kind = Num;
            ok = !(m_cur != m_end && *m_cur == 'I');  // "-Infinity" is not taken
            if (!ok)
                ++m_cur;
            else
                readNumber();
            break;
        case 't': t.kind = Literal; ok = match("rue", 3); break;
        case 'f': t.kind = Literal; ok = match("alse", 4); break;
        case 'n': t.kind = Literal; ok = match("ull", 3); break;
        case 0: t.kind = End; break;  // also a NUL byte in the text
        default: ok = false; break;
        }
        if (!ok)
            t.kind = Bad;
        t.stop = m_cur;
        return ok;
    }

    bool readTokenSkippingComments(Token &t)
    {
        bool ok = readToken(t);
        while (ok && t.kind == Comment)
            ok = readToken(t);
        return ok;
    }

    bool readString()
    {
        char c = 0;
        while (m_cur != m_end) {
            c = next();
            if (c == '\\')
                next();
            else if (c == '"')
                break;
        }
        return c == '"';
    }

    bool readComment()
    {
        const char c = next();
        if (c == '*') {
            // "/*/" counts as a whole comment there; keep it so.
            while (m_cur + 1 < m_end) {
                if (next() == '*' && *m_cur == '/')
                    break;
            }
            return next() == '/';
        }
        if (c != '/')
            return false;
        while (m_cur != m_end) {
            const char d = next();
            if (d == '\n')
                break;
            if (d == '\r') {
                if (m_cur != m_end && *m_cur == '\n')
                    ++m_cur;
                break;
            }
        }
        return true;
    }

    void readNumber()
    {
        const char *p = m_cur;
        auto step = [&]() { return (m_cur = p) < m_end ? *p++ : '\0'; };
        char c = '0';
        while (c >= '0' && c <= '9')
            c = step();
        if (c == '.') {
            c = step();
            while (c >= '0' && c <= '9')
                c = step();
        }
        if (c == 'e' || c == 'E') {
            c = step();
            if (c == '+' || c == '-')
                c = step();
            while (c >= '0' && c <= '9')
                c = step();
        }
    }

    // Digits (a lone "-" reads as 0 there), or else what a C++ stream takes
    // as a double: the service decides it that way, overflow refused.
    Q_NEVER_INLINE static bool numberValid(const Token &t)
    {
        const std::string text(t.start, size_t(t.stop - t.start));
        if (text == "-")
            return true;
        std::istringstream in(text);
        in.imbue(std::locale::classic());
        double value = 0;
        return bool(in >> value);
    }

    Q_NEVER_INLINE bool failNumber(const Token &t)
    {
        return fail(QStringLiteral("\"%1\"不是数字").arg(QString::fromUtf8(t.start, int(t.stop - t.start))), t.start);
    }

    static int hexDigit(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    bool hex4(const char *&p, const char *end, uint *out, const Token &t)
    {
        if (end - p < 4)
            return fail(QStringLiteral("\\u后应有4位十六进制数"), t.start);
        uint v = 0;
        for (int i = 0; i < 4; ++i) {
            const int d = hexDigit(*p++);
            if (d < 0)
                return fail(QStringLiteral("\\u后应有4位十六进制数"), t.start);
            v = v * 16 + uint(d);
        }
        *out = v;
        return true;
    }

    Q_NEVER_INLINE bool decodeString(const Token &t, QByteArray *out)
    {
        out->clear();
        const char *p = t.start + 1;
        const char *end = t.stop - 1;
        while (p != end) {
            const char c = *p++;
            if (c == '"')
                break;
            if (c != '\\') {
                out->append(c);
                continue;
            }
            if (p == end)
                return fail(QStringLiteral("字符串中的转义不完整"), t.start);
            const char esc = *p++;
            switch (esc) {
            case '"': out->append('"'); break;
            case '/': out->append('/'); break;
            case '\\': out->append('\\'); break;
            case 'b': out->append('\b'); break;
            case 'f': out->append('\f'); break;
            case 'n': out->append('\n'); break;
            case 'r': out->append('\r'); break;
            case 't': out->append('\t'); break;
            case 'u': {
                uint cp = 0;
                if (!hex4(p, end, &cp, t))
                    return false;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    if (end - p < 6)
                        return fail(QStringLiteral("代理对不完整"), t.start);
                    if (*p++ != '\\' || *p++ != 'u')
                        return fail(QStringLiteral("代理对不完整"), t.start);
                    uint low = 0;
                    if (!hex4(p, end, &low, t))
                        return false;
                    cp = 0x10000 + ((cp & 0x3FF) << 10) + (low & 0x3FF);
                }
                appendUtf8(out, cp);
                break;
            }
            default:
                return fail(QStringLiteral("字符串中有无效的转义"), t.start);
            }
        }
        return true;
    }

    static void appendUtf8(QByteArray *out, uint cp)
    {
        if (cp <= 0x7F) {
            out->append(char(cp));
        } else if (cp <= 0x7FF) {
            out->append(char(0xC0 | (cp >> 6)));
            out->append(char(0x80 | (cp & 0x3F)));
        } else if (cp <= 0xFFFF) {
            out->append(char(0xE0 | (cp >> 12)));
            out->append(char(0x80 | ((cp >> 6) & 0x3F)));
            out->append(char(0x80 | (cp & 0x3F)));
        } else {
            out->append(char(0xF0 | (cp >> 18)));
            out->append(char(0x80 | ((cp >> 12) & 0x3F)));
            out->append(char(0x80 | ((cp >> 6) & 0x3F)));
            out->append(char(0x80 | (cp & 0x3F)));
        }
    }

    bool readValue(Value *v, int depth)
    {
        if (depth > kStackLimit)
            return fail(QStringLiteral("嵌套层数过多"), m_cur);
        Token t;
        do
            readToken(t);
        while (t.kind == Comment);
        *v = Value();
        v->rawStart = t.start;
        bool ok = false;
        switch (t.kind) {
        case ObjBegin:
            v->type = Value::Object;
            ok = readObject(v, depth);
            break;
        case ArrBegin:
            v->type = Value::Array;
            ok = readArray(v, depth);
            break;
        case Num:
            v->type = Value::Scalar;
            ok = numberValid(t) || failNumber(t);
            break;
        case Str:
            v->type = Value::String;
            ok = decodeString(t, &v->text);
            break;
        case Literal:
            v->type = Value::Scalar;
            ok = true;
            break;
        default:
            return fail(QStringLiteral("此处应为值、对象或列表"), t.start);
        }
        v->rawStop = m_cur;
        return ok;
    }

    bool readObject(Value *v, int depth)
    {
        Token name;
        QByteArray key;
        while (readTokenSkippingComments(name)) {
            if (name.kind == ObjEnd)  // empty, or a trailing comma
                return true;
            if (name.kind != Str)
                break;
            if (!decodeString(name, &key))
                return false;
            Token colon;
            if (!readToken(colon) || colon.kind != MemSep)
                return fail(QStringLiteral("成员名后缺少\":\""), colon.start);
            Value member;
            if (!readValue(&member, depth + 1))
                return false;
            member.nameStart = name.start;
            member.nameStop = name.stop;
            // A repeated name: the later value counts.
            bool replaced = false;
            for (auto &m : v->members) {
                if (m.first == key) {
                    m.second = member;
                    replaced = true;
                }
            }
            if (!replaced)
                v->members.append(qMakePair(key, member));
            Token comma;
            if (!readTokenSkippingComments(comma) || (comma.kind != ObjEnd && comma.kind != ArrSep))
                return fail(QStringLiteral("对象中缺少\",\"或\"}\""), comma.start);
            if (comma.kind == ObjEnd)
                return true;
        }
        return fail(QStringLiteral("对象中缺少\"}\"或成员名"), name.start);
    }

    bool readArray(Value *v, int depth)
    {
        for (;;) {
            skipSpaces();
            if (m_cur != m_end && *m_cur == ']') {  // empty, or a trailing comma
                ++m_cur;
                return true;
            }
            Value item;
            if (!readValue(&item, depth + 1))
                return false;
            v->items.append(item);
            Token sep;
            if (!readTokenSkippingComments(sep) || (sep.kind != ArrSep && sep.kind != ArrEnd))
                return fail(QStringLiteral("列表中缺少\",\"或\"]\""), sep.start);
            if (sep.kind == ArrEnd)
                return true;
        }
    }

    Q_NEVER_INLINE bool fail(const QString &what, const char *at)
    {
        if (m_error.isEmpty()) {
            int line = 1;
            for (const char *p = m_begin; p < at && p < m_end; ++p)
                line += *p == '\n';
            m_error = QStringLiteral("第%1行: %2").arg(line).arg(what);
        }
        return false;
    }

    const char *m_begin;
    const char *m_cur;
    const char *m_end;
    QString m_error;
};

// An entry for a message: control characters (a NUL too) as "?".
QString shown(const QByteArray &bytes)
{
    QString text = QString::fromUtf8(bytes.constData(), bytes.size()).left(40);
    for (QChar &ch : text)
        if (ch.category() == QChar::Other_Control)
            ch = '?';
    return text;
}

void appendJsonString(QByteArray *out, const QString &s)
{
    out->append('"');
    for (const char c : s.toUtf8()) {
        if (c == '"' || c == '\\') {
            out->append('\\');
            out->append(c);
        } else if (uchar(c) < 0x20) {
            out->append(QStringLiteral("\\u%1").arg(int(uchar(c)), 4, 16, QChar('0')).toLatin1());
        } else {
            out->append(c);
        }
    }
    out->append('"');
}

} // namespace

bool parseEntry(const QString &text, Entry *out, QString *why)
{
    quint32 a = 0;
    int prefix = 32;
    if (!parseRaw(text, &a, &prefix, why))
        return false;
    out->mask = maskOf(prefix);
    out->network = a & out->mask;
    out->prefix = prefix;
    return true;
}

QString entryText(const Entry &e)
{
    const QString host = dotted(e.network);
    return e.prefix == 32 ? host : QStringLiteral("%1/%2").arg(host).arg(e.prefix);
}

bool hostBitsSet(const QString &text)
{
    quint32 a = 0;
    int prefix = 32;
    return parseRaw(text, &a, &prefix, nullptr) && (a & ~maskOf(prefix)) != 0;
}

QString rangeText(const Entry &e)
{
    if (e.prefix >= 32)
        return QStringLiteral("%1 (1个地址)").arg(dotted(e.network));
    const QString span = QStringLiteral("%1 - %2").arg(dotted(e.network), dotted(e.network | ~e.mask));
    if (e.prefix == 0)
        return span + QStringLiteral(" (全部地址)");
    return span + QStringLiteral(" (%1个地址)").arg(quint64(1) << (32 - e.prefix));
}

namespace {

// One list of the file, read as strictly as the service reads it; absent is
// empty. which names it in the reasons ("" for "allow").
bool parseList(const Value *list, const QString &which, QStringList *out, QString *error)
{
    out->clear();
    if (!list)
        return true;
    const QString name = which.isEmpty() ? QStringLiteral("\"allow\"") : which;
    if (list->type != Value::Array) {
        *error = QStringLiteral("%1不是列表").arg(name);
        return false;
    }
    const QString of = which.isEmpty() ? QString() : which + QStringLiteral("的");
    if (list->items.size() > kMaxEntries) {
        *error = QStringLiteral("%1超过%2项").arg(of).arg(kMaxEntries);
        return false;
    }
    for (int i = 0; i < list->items.size(); ++i) {
        const Value &item = list->items[i];
        if (item.type != Value::String) {
            *error = QStringLiteral("%1第%2项不是字符串").arg(of).arg(i + 1);
            return false;
        }
        // Byte for byte: anything but ASCII digits, dots and a slash is refused.
        const QString text = QLatin1String(item.text.constData(), item.text.size());
        QString why;
        Entry e;
        if (!parseEntry(text, &e, &why)) {
            *error = QStringLiteral("%1第%2项 \"%3\" 不是IPv4地址或地址段: %4")
                         .arg(of).arg(i + 1).arg(shown(item.text), why);
            return false;
        }
        *out << text;
    }
    return true;
}

void appendList(QByteArray *out, const char *key, const QStringList &entries)
{
    out->append("    \"").append(key).append("\": [");
    if (entries.isEmpty()) {
        out->append("]");
        return;
    }
    out->append("\n");
    for (int i = 0; i < entries.size(); ++i) {
        out->append("        ");
        appendJsonString(out, entries[i]);
        out->append(i + 1 < entries.size() ? ",\n" : "\n");
    }
    out->append("    ]");
}

// The entries, or nothing when the service would refuse the list.
bool entriesOf(const QStringList &texts, QVector<Entry> *out)
{
    if (texts.size() > kMaxEntries)
        return false;
    for (const QString &text : texts) {
        Entry e;
        if (!parseEntry(text, &e))
            return false;
        *out << e;
    }
    return true;
}

bool matches(const QVector<Entry> &entries, quint32 address)
{
    for (const Entry &e : entries)
        if ((address & e.mask) == e.network)
            return true;
    return false;
}

} // namespace

bool parse(const QByteArray &fileText, List *list, QString *error)
{
    auto refuse = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    bool blank = true;
    for (const char c : fileText)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
            blank = false;
            break;
        }
    if (blank) {
        *list = List();
        return true;
    }
    Value root;
    Reader reader(fileText);
    if (!reader.read(&root))
        return refuse(QStringLiteral("不是有效的JSON (%1)").arg(reader.error()));
    if (root.type != Value::Object)
        return refuse(QStringLiteral("不是JSON对象"));
    const Value *allow = nullptr;
    const Value *readOnly = nullptr;
    List result;
    for (const auto &m : root.members) {
        if (m.first == "allow")
            allow = &m.second;
        else if (m.first == "readOnly")
            readOnly = &m.second;
        else
            result.otherKeys.append({m.first, QByteArray(m.second.nameStart, int(m.second.nameStop - m.second.nameStart)),
                                     QByteArray(m.second.rawStart, int(m.second.rawStop - m.second.rawStart))});
    }
    if (!allow && !readOnly) {
        if (root.members.isEmpty()) {
            *list = List();
            return true;
        }
        return refuse(QStringLiteral("没有\"allow\"或\"readOnly\"列表"));
    }
    QString why;
    if (!parseList(allow, QString(), &result.allow, &why)
        || !parseList(readOnly, QStringLiteral("\"readOnly\""), &result.readOnly, &why))
        return refuse(why);
    *list = result;
    return true;
}

QByteArray serialize(const List &list)
{
    QByteArray out("{\n");
    appendList(&out, "allow", list.allow);
    if (!list.readOnly.isEmpty()) {
        out.append(",\n");
        appendList(&out, "readOnly", list.readOnly);
    }
    for (const auto &key : list.otherKeys)
        out.append(",\n    ").append(key.nameJson).append(": ").append(key.valueJson);
    out.append("\n}\n");
    return out;
}

QList<QByteArray> otherKeyNames(const List &list)
{
    QList<QByteArray> names;
    for (const OtherKey &key : list.otherKeys)
        names << key.name;
    std::sort(names.begin(), names.end());
    return names;
}

QString otherKeysText(const List &list)
{
    QStringList quoted;
    for (const QByteArray &n : otherKeyNames(list))
        quoted << QStringLiteral("\"%1\"").arg(shown(n));
    return quoted.join(QStringLiteral(", "));
}

Right rightOf(const List &list, const QString &ipv4)
{
    quint32 address = 0;
    int prefix = 32;
    if (!parseRaw(ipv4, &address, &prefix, nullptr) || ipv4.contains('/'))
        return Refused;
    QVector<Entry> allow, readOnly;
    if (!entriesOf(list.allow, &allow) || !entriesOf(list.readOnly, &readOnly))
        return ReadWrite;  // the service refuses the file and lets everyone in
    // The narrower right wins, as in the service.
    if (matches(readOnly, address))
        return ReadOnly;
    return allow.isEmpty() || matches(allow, address) ? ReadWrite : Refused;
}

QString meaning(const List &list)
{
    const QString readOnly = QStringLiteral("以下客户端只能读 (写入被网关拒绝, 异常码1):\n") + list.readOnly.join(", ");
    QString text;
    if (list.isEmpty())
        text = QStringLiteral("列表为空: modbus端口将接受任何客户端");
    else if (list.allow.isEmpty())
        text = QStringLiteral("modbus端口将接受任何客户端; ") + readOnly;
    else if (list.readOnly.isEmpty())
        text = QStringLiteral("modbus端口将只接受来自以下地址的客户端:\n") + list.allow.join(", ");
    else
        text = QStringLiteral("modbus端口将只接受来自以下地址的客户端:\n") + list.allow.join(", ")
               + QStringLiteral("\n以及只读项中的客户端; ") + readOnly;
    if (!list.otherKeys.isEmpty())
        text += QStringLiteral("\n网关不读取的 %1 原样保留在文件中").arg(otherKeysText(list));
    return text;
}

} // namespace AclFile
