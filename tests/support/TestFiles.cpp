#include "support/TestFiles.h"

#include <QFile>

QString TestDataPath(const QString& name)
{
    return QStringLiteral(CORVANE_TEST_DATA_DIR "/") + name;
}

QByteArray ReadBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}
