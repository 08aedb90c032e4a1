#include "script/junit_report.h"

#include <QXmlStreamWriter>

QString xmlSafe(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        const bool pair = QChar::isHighSurrogate(c) && i + 1 < text.size() &&
                          QChar::isLowSurrogate(text[i + 1].unicode());
        if (pair) {
            out += text[i];
            out += text[++i];
        } else if (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') {
            out += QStringLiteral("\\x") + QString::number(c, 16).rightJustified(2, u'0').toUpper();
        } else if (QChar::isSurrogate(c) || c == 0xFFFE || c == 0xFFFF) {
            out += QStringLiteral("\\u") + QString::number(c, 16).rightJustified(4, u'0').toUpper();
        } else {
            out += text[i];
        }
    }
    return out;
}

namespace
{
QString seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000.0, 'f', 3);
}
} // namespace

QByteArray junitReport(const ScriptOutcome &outcome, const QDateTime &started, const QString &error)
{
    QString problem = error;
    if (problem.isEmpty() && (outcome.end == ScriptOutcome::End::NotLoaded ||
                              outcome.end == ScriptOutcome::End::NotOpened ||
                              outcome.end == ScriptOutcome::End::TimedOut))
        problem = outcome.error;
    const int errors = problem.isEmpty() ? 0 : 1;
    const QString suite = outcome.script;
    QString className = suite;
    if (className.endsWith(QStringLiteral(".lua")))
        className.chop(4);

    QByteArray xml;
    QXmlStreamWriter w(&xml);
    w.setAutoFormatting(true);
    w.writeStartDocument();
    w.writeStartElement(QStringLiteral("testsuites"));
    w.writeAttribute(QStringLiteral("name"), QStringLiteral("quorvex-run"));
    const QString tests = QString::number(qsizetype(outcome.cases.size()) + errors);
    w.writeAttribute(QStringLiteral("tests"), tests);
    w.writeAttribute(QStringLiteral("failures"), QString::number(outcome.failed()));
    w.writeAttribute(QStringLiteral("errors"), QString::number(errors));
    w.writeAttribute(QStringLiteral("time"), seconds(outcome.ms));
    w.writeStartElement(QStringLiteral("testsuite"));
    w.writeAttribute(QStringLiteral("name"), xmlSafe(suite));
    w.writeAttribute(QStringLiteral("tests"), tests);
    w.writeAttribute(QStringLiteral("failures"), QString::number(outcome.failed()));
    w.writeAttribute(QStringLiteral("errors"), QString::number(errors));
    w.writeAttribute(QStringLiteral("skipped"), QStringLiteral("0"));
    w.writeAttribute(QStringLiteral("time"), seconds(outcome.ms));
    w.writeAttribute(QStringLiteral("timestamp"), started.toString(Qt::ISODate));
    for (const ScriptCase &c : outcome.cases) {
        w.writeStartElement(QStringLiteral("testcase"));
        w.writeAttribute(QStringLiteral("name"), xmlSafe(c.name));
        w.writeAttribute(QStringLiteral("classname"), xmlSafe(className));
        w.writeAttribute(QStringLiteral("time"), seconds(c.ms));
        if (!c.passed) {
            w.writeStartElement(QStringLiteral("failure"));
            w.writeAttribute(QStringLiteral("message"), xmlSafe(c.message));
            w.writeAttribute(QStringLiteral("type"), QStringLiteral("failure"));
            w.writeCharacters(xmlSafe(
                c.where.isEmpty() ? c.message : c.message + QStringLiteral(" (") + c.where + u')'));
            w.writeEndElement();
        }
        if (!c.log.isEmpty())
            w.writeTextElement(QStringLiteral("system-out"), xmlSafe(c.log.join(u'\n')));
        w.writeEndElement();
    }
    if (errors) {
        w.writeStartElement(QStringLiteral("testcase"));
        w.writeAttribute(QStringLiteral("name"), xmlSafe(suite));
        w.writeAttribute(QStringLiteral("classname"), xmlSafe(className));
        w.writeAttribute(QStringLiteral("time"), seconds(outcome.ms));
        w.writeStartElement(QStringLiteral("error"));
        w.writeAttribute(QStringLiteral("message"), xmlSafe(problem));
        w.writeAttribute(QStringLiteral("type"), QStringLiteral("error"));
        w.writeCharacters(xmlSafe(problem));
        w.writeEndElement();
        w.writeEndElement();
    }
    w.writeTextElement(QStringLiteral("system-out"), xmlSafe(outcome.log.join(u'\n')));
    w.writeEndElement();
    w.writeEndElement();
    w.writeEndDocument();
    return xml;
}
