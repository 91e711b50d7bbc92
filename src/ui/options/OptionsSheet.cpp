#include "ui/options/OptionsSheet.h"

// Stands in until the sheet exists.
bool RunOptionsSheet(QWidget*, CHub*)
{
    return false;
}
