#pragma once

#include <QString>

#include <functional>

class QWidget;

// The modal prompts of the task configuration sheet go through these functions, so that a
// test can answer them without a modal event loop blocking it.

// An OK-only warning box with the text, as the sheet's pages refuse an entry.
void ShowSheetMessage(QWidget* parent, const QString& text);

// The file-open dialog of the alert application's browse button: the chosen full path, or
// an empty text when it was cancelled.
QString ChooseApplicationFile(QWidget* parent, const QString& current);

// While set, ShowSheetMessage hands its text to the hook instead of showing a box, and
// ChooseApplicationFile returns what the chooser returns. An empty function restores the
// real dialogs.
void SetSheetMessageHookForTesting(std::function<void(const QString&)> hook);
void SetApplicationChooserForTesting(std::function<QString(const QString&)> chooser);
