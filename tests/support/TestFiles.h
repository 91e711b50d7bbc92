#pragma once

#include <QByteArray>
#include <QString>

// Small file helpers for tests.
QString TestDataPath(const QString& name); // a file under tests/data
QByteArray ReadBytes(const QString& path); // empty when it cannot be read
void WriteBytes(const QString& path, const QByteArray& bytes);
