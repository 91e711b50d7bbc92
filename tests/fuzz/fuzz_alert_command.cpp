// The external alert program gets the task's name and result text in its arguments. Whatever
// the command template and those texts hold (blanks, quotes, line breaks, placeholders of their
// own), each text must arrive as the very argument its placeholder stood in, whole, or a task
// name could add arguments to the user's program.

#include "FuzzCheck.h"

#include "core/alerts/AlertDelivery.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>

namespace {

// Stand-ins that no template can hold (a template that does is skipped): where they end up is
// where the values must end up.
const QChar kNameMark(0xE000);
const QChar kTextMark(0xE001);

// The arguments of the stand-in run with each mark replaced by its value, in one pass.
QString Expected(const QString& argument, const QString& name, const QString& text)
{
    QString out;
    for (const QChar c : argument)
        out += c == kNameMark ? name : c == kTextMark ? text : QString(c);
    return out;
}

void ExpectArguments(const CAlertCommand& prepared, const CAlertCommand& shape, const QString& name,
                     const QString& text, const QString& command)
{
    FUZZ_CHECK(prepared.m_Program == shape.m_Program, "the texts change the program: \"%s\" instead of \"%s\"",
               SHOWN(prepared.m_Program), SHOWN(shape.m_Program));
    FUZZ_CHECK(prepared.m_Arguments.size() == shape.m_Arguments.size(),
               "the texts change the number of arguments: %lld instead of %lld (command \"%s\")",
               static_cast<long long>(prepared.m_Arguments.size()), static_cast<long long>(shape.m_Arguments.size()),
               SHOWN(command));
    for (qsizetype i = 0; i < shape.m_Arguments.size(); ++i) {
        const QString expected = Expected(shape.m_Arguments[i], name, text);
        FUZZ_CHECK(prepared.m_Arguments[i] == expected, "argument %lld is \"%s\", not \"%s\" (command \"%s\")",
                   static_cast<long long>(i), SHOWN(prepared.m_Arguments[i]), SHOWN(expected), SHOWN(command));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const QString command = QString::fromStdString(input.ConsumeRandomLengthString(300));
    const QString name = QString::fromStdString(input.ConsumeRandomLengthString(200));
    const QString text = QString::fromStdString(input.ConsumeRemainingBytesAsString());
    if (command.contains(kNameMark) || command.contains(kTextMark))
        return 0;

    CAlertFields fields;
    fields.m_Name = name;
    fields.m_Text = text;
    fields.m_State = QStringLiteral("failed");
    fields.m_Time = QStringLiteral("2026-12-09T04:00:00+00:00");
    fields.m_Target = QStringLiteral("https://www.example.com/");
    const std::optional<CAlertCommand> prepared = PrepareAlertCommand(command, fields);

    CAlertFields marks = fields;
    marks.m_Name = kNameMark;
    marks.m_Text = kTextMark;
    const std::optional<CAlertCommand> shape = PrepareAlertCommand(command, marks);

    FUZZ_CHECK(prepared.has_value() == shape.has_value(), "the texts decide whether there is a command at all");
    if (!prepared)
        return 0;
    ExpectArguments(*prepared, *shape, name, text, command);
    // The same for the two-text form that the older callers use.
    const std::optional<CAlertCommand> older = PrepareAlertCommand(command, name, text);
    const std::optional<CAlertCommand> olderShape = PrepareAlertCommand(command, kNameMark, kTextMark);
    FUZZ_CHECK(older.has_value() && olderShape.has_value(), "the two forms disagree on whether there is a command");
    ExpectArguments(*older, *olderShape, name, text, command);
    return 0;
}
