#pragma once

#include "ebase.h"
#include "emgr.h"

#include <QString>

class QLineEdit;

// The module as the host framework sees it; set by the plug-in's entry. Every
// window and list reaches the host through it.
extern EBase* g_base;

// Short ways to the host's services through g_base; null while no module is
// loaded (a window built by a test without a host).
namespace host {

EConfig* config();
ECommon* common();

// Asks the host's skin module to give a window its shadow and make it draggable.
void register_skin(QWidget* window);

// A text field's setting: read into the field only when stored, written as typed.
void read_text(const char* key, QLineEdit* edit);
void write_text(const char* key, const QLineEdit* edit);

} // namespace host
