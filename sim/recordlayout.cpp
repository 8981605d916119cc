#include "sim/recordlayout.h"

#include "data/config.h"
#include "data/platform.h"

#include <QFileInfo>

#include <vector>

namespace sim {

namespace {

bool FromProfile(const data::ProfileFile &profile, QList<RecordField> *fields, QString *error)
{
    data::FieldList list;
    if (!data::LoadFieldList(profile, list, error))
        return false;
    QList<RecordField> layout;
    layout.reserve(qsizetype(list.items.size()));
    for (const auto &item : list.items)
        layout.append({item->Name, item->Width});
    *fields = std::move(layout);
    return true;
}

} // namespace

QList<RecordField> DefaultRecordLayout()
{
    // Read once: every simulated meter starts with it.
    static const QList<RecordField> layout = [] {
        QList<RecordField> fields;
        QString error;
        if (!LoadRecordLayout(QStringLiteral(":/sim/ZEVQ-BLE.INI"), &fields, &error))
            qFatal("the built-in configuration: %s", qPrintable(error));
        return fields;
    }();
    return layout;
}

qint64 LayoutRecordSize(const QList<RecordField> &fields)
{
    std::vector<protocol::RecordField> layout;
    layout.reserve(std::size_t(fields.size()));
    for (const RecordField &field : fields)
        layout.push_back({field.width, !field.caption.trimmed().isEmpty()});
    return protocol::RecordBytes(layout);
}

bool LoadRecordLayout(const QString &path, QList<RecordField> *fields, QString *error)
{
    if (!QFileInfo(path).isFile()) {
        if (error)
            *error = QStringLiteral("Missing configuration file \"%1\"").arg(path);
        return false;
    }
    QString why;
    const bool loaded = FromProfile(data::ProfileFile(path), fields, &why);
    if (!loaded && error)
        *error = why;
    return loaded;
}

bool ParseRecordLayout(const QByteArray &bytes, QList<RecordField> *fields, QString *error)
{
    QString why;
    const bool parsed = FromProfile(data::ProfileFile::FromBytes(bytes), fields, &why);
    if (!parsed && error)
        *error = why;
    return parsed;
}

} // namespace sim
