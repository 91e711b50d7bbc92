#pragma once

class CTask;
class QWidget;

// Shows the task configuration sheet ("Task Parameters") for task, a new one when newTask.
// True when it was confirmed with OK: task then holds the edits. Cancel leaves task as it was.
bool EditTask(QWidget* parent, CTask& task, bool newTask);
