// A JSON webhook's body is the user's template with the task's texts put in. For a template
// that makes valid JSON, whatever the texts hold the body must stay valid JSON, and each
// string must carry the texts exactly, or the hook drops the alert or reads something else.

#include "FuzzCheck.h"

#include "core/alerts/AlertDelivery.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// Stand-ins that no template can hold (a template that does is skipped): where they end up is
// where the values must end up.
const QChar kNameMark(0xE000);
const QChar kTextMark(0xE001);
const QChar kTargetMark(0xE002);

struct CValues
{
    QString m_Name;
    QString m_Text;
    QString m_Target;
};

QString Filled(const QString& text, const CValues& values)
{
    QString out;
    for (const QChar c : text) {
        if (c == kNameMark)
            out += values.m_Name;
        else if (c == kTextMark)
            out += values.m_Text;
        else if (c == kTargetMark)
            out += values.m_Target;
        else
            out += c;
    }
    return out;
}

// The stand-in body's JSON with the values put into its strings; false when two keys of an
// object become one (the values chose the same name), where no exact body exists.
bool FillJson(const QJsonValue& shape, const CValues& values, QJsonValue& filled)
{
    if (shape.isString()) {
        filled = Filled(shape.toString(), values);
    } else if (shape.isArray()) {
        QJsonArray array;
        for (const QJsonValue& item : shape.toArray()) {
            QJsonValue value;
            if (!FillJson(item, values, value))
                return false;
            array.append(value);
        }
        filled = array;
    } else if (shape.isObject()) {
        const QJsonObject object = shape.toObject();
        QJsonObject result;
        for (auto it = object.begin(); it != object.end(); ++it) {
            const QString key = Filled(it.key(), values);
            QJsonValue value;
            if (result.contains(key) || !FillJson(it.value(), values, value))
                return false;
            result.insert(key, value);
        }
        filled = result;
    } else {
        filled = shape;
    }
    return true;
}

// Qt's reader takes an unknown escape ("\\S") as the character itself, and a raw control
// character inside a string as itself, where JSON has neither (RFC 8259, 7) and a strict hook
// refuses the body. True when every string of a body Qt has read is JSON's.
bool HasStrictJsonStrings(const QByteArray& body)
{
    bool inString = false;
    for (qsizetype i = 0; i < body.size(); ++i) {
        const auto c = static_cast<unsigned char>(body[i]);
        if (!inString) {
            inString = c == '"';
        } else if (c == '"') {
            inString = false;
        } else if (c < 0x20) {
            return false;
        } else if (c == '\\') {
            const char next = i + 1 < body.size() ? body[i + 1] : '\0';
            if (next == 'u') {
                for (qsizetype k = i + 2; k < i + 6; ++k) {
                    if (k >= body.size() || !std::isxdigit(static_cast<unsigned char>(body[k])))
                        return false;
                }
            } else if (next == '\0' || !std::strchr("\"\\/bfnrt", next)) {
                return false;
            }
            ++i;
        }
    }
    return true;
}

QJsonValue Parsed(const QByteArray& body, QJsonParseError& error)
{
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    return document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const QString bodyTemplate = QString::fromStdString(input.ConsumeRandomLengthString(400));
    CValues values;
    values.m_Name = QString::fromStdString(input.ConsumeRandomLengthString(200));
    values.m_Target = QString::fromStdString(input.ConsumeRandomLengthString(200));
    values.m_Text = QString::fromStdString(input.ConsumeRemainingBytesAsString());
    if (bodyTemplate.contains(kNameMark) || bodyTemplate.contains(kTextMark) || bodyTemplate.contains(kTargetMark))
        return 0;
    const QString url = QStringLiteral("http://127.0.0.1:9/hook");
    // Only templates that the HTTP alert dialog accepts as JSON.
    if (!CheckHttpAlertTemplates(QStringLiteral("POST"), url, bodyTemplate, QStringLiteral("application/json"))
             .isEmpty())
        return 0;

    const QByteArray sample = PrepareHttpAlert(QStringLiteral("POST"), url, bodyTemplate,
                                               QStringLiteral("application/json"), SampleAlertFields())
                                  .m_Body;
    FUZZ_CHECK(HasStrictJsonStrings(sample), "a template that is JSON only to Qt's reader was accepted: %s",
               SHOWN(sample));

    CAlertFields fields = SampleAlertFields();
    fields.m_Name = values.m_Name;
    fields.m_Text = values.m_Text;
    fields.m_Target = values.m_Target;
    const CHttpAlert alert
        = PrepareHttpAlert(QStringLiteral("POST"), url, bodyTemplate, QStringLiteral("application/json"), fields);
    FUZZ_CHECK(alert.m_Method == u"POST" && alert.m_ContentType == u"application/json", "not a JSON POST");
    QJsonParseError error;
    const QJsonValue body = Parsed(alert.m_Body, error);
    FUZZ_CHECK(error.error == QJsonParseError::NoError, "the body is no JSON (%s at %d): %s",
               SHOWN(error.errorString()), error.offset, SHOWN(alert.m_Body));
    FUZZ_CHECK(HasStrictJsonStrings(alert.m_Body), "the body is JSON only to Qt's reader: %s", SHOWN(alert.m_Body));

    CAlertFields marks = fields;
    marks.m_Name = kNameMark;
    marks.m_Text = kTextMark;
    marks.m_Target = kTargetMark;
    const CHttpAlert shapeAlert
        = PrepareHttpAlert(QStringLiteral("POST"), url, bodyTemplate, QStringLiteral("application/json"), marks);
    const QJsonValue shape = Parsed(shapeAlert.m_Body, error);
    FUZZ_CHECK(error.error == QJsonParseError::NoError, "the body with plain values is no JSON: %s",
               SHOWN(shapeAlert.m_Body));
    QJsonValue expected;
    if (!FillJson(shape, values, expected))
        return 0;
    FUZZ_CHECK(
        body == expected, "the body's values are not the texts:\n%s\nexpected\n%s", SHOWN(alert.m_Body),
        QJsonDocument(expected.isArray() ? QJsonDocument(expected.toArray()) : QJsonDocument(expected.toObject()))
            .toJson(QJsonDocument::Compact)
            .constData());
    return 0;
}
