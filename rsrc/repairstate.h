#pragma once

#include <QString>

// What the progress dialog shows for the state word of the repair engine's
// report. The engine speaks Chinese (its running words are plain English
// tags); each of its failure words is a text of the window's own catalogue,
// so it reaches the user in the window's language.
QString repair_state_text(const QString& word);
