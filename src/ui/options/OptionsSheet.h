#pragma once

class CHub;
class QWidget;

// Shows the "Options" sheet (General, Alerts, Output). On OK the settings are stored and
// saved, the auto-start entry is written or removed and the hub reopens its log file.
// True when it was confirmed with OK.
bool RunOptionsSheet(QWidget* parent, CHub* hub);
