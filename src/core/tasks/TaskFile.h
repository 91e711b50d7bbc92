#pragma once

#include "core/tasks/Task.h"

#include <QByteArray>
#include <QList>
#include <QString>

// Task files (".cvn"): a "Global" section with "EntryCount", then one "Task n" section per
// task, in the order the tasks are given.

// The largest EntryCount a task file may claim. Missing sections below EntryCount become
// default tasks, so without a bound one damaged number could exhaust memory.
constexpr int kMaxTaskFileEntries = 100000;

// The largest task file that is read. 100,000 tasks of long texts take a few MB; anything
// larger is some other file, refused before it is read into memory.
constexpr qint64 kMaxTaskFileBytes = 64 * 1024 * 1024;

// Reads a whole task file. Sections that are missing or odd give default values; false,
// with the reason, only when the file cannot be read at all (missing, a folder,
// unreadable), is no text (binary, or larger than kMaxTaskFileBytes) or claims more than
// kMaxTaskFileEntries tasks. Task n gets the id n.
bool ReadTaskFile(const QString& path, QList<CTask>& tasks, QString* error);
// The same for bytes already read; `reason` (without the file's name) when they are no task
// file. No tasks are made then.
bool ParseTaskFile(const QByteArray& bytes, QList<CTask>& tasks, QString* reason = nullptr);

// The file's bytes for these tasks, sections numbered in the order given.
QByteArray FormatTaskFile(const QList<CTask>& tasks);

// Replaces the file at `path` atomically: the new content is written beside it and renamed
// over it only when complete, so a failed save leaves the old file as it was.
bool WriteTaskFile(const QString& path, const QList<CTask>& tasks, QString* error);
