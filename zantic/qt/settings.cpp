// The settings dialog's arithmetic for the Qt face (see settings.h).
#include "settings.h"

namespace zantic {

namespace {
QStringList toQt(const std::vector<std::string> &entries)
{
    QStringList list;
    for (const std::string &e : entries)
        list << QString::fromStdString(e);
    return list;
}
} // namespace

QStringList portEntries() { return toQt(core::portEntries()); }
QStringList speedEntries() { return toQt(core::speedEntries()); }
QStringList dataBitsEntries() { return toQt(core::dataBitsEntries()); }
QStringList parityEntries() { return toQt(core::parityEntries()); }
QStringList stopBitsEntries() { return toQt(core::stopBitsEntries()); }
QStringList flowCaptions() { return toQt(core::flowCaptions()); }

LinePieces parseLineSettings(const QString &text)
{
    const core::LinePieces c = core::parseLineSettings(text.toStdString());
    return {QString::fromStdString(c.speed), c.parity, QString::fromStdString(c.dataBits),
            QString::fromStdString(c.stopBits)};
}

} // namespace zantic
