#pragma once

#include "core/output/MessageLog.h"

#include <QAbstractTableModel>
#include <QIcon>

#include <array>

// The output window's rows as a Qt table model over the message log. Rows arrive in bursts:
// Add() only queues them, CommitPending() announces the whole burst to the views with one
// removal and one insertion, so a view does its work once per burst rather than once per row.
class COutputModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    // After the log's own columns: the task a message is about. Only the window shows it; the
    // texts of Copy, Export and the log file keep their three fields.
    static constexpr int kTaskColumn = CMessageLog::kColumnCount;
    static constexpr int kColumnCount = kTaskColumn + 1;

    explicit COutputModel(QObject* parent = nullptr);

    CMessageLog& GetLog() { return m_Log; }
    const CMessageLog& GetLog() const { return m_Log; }

    // False when the message's severity is hidden.
    bool Add(const CLogMessage& message) { return m_Log.Add(message); }
    bool HasPending() const { return m_Log.HasPending(); }
    // Applies the queued rows; returns how many old rows the limit pushed out and how many
    // rows were appended.
    CMessageLog::CPendingChange CommitPending();
    void Clear();

    // The icon of a severity code; a null icon for an unknown code or a missing image.
    static QIcon GetSeverityIcon(int code);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    CMessageLog m_Log;
};
