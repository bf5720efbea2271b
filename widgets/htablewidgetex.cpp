#include "htablewidgetex.h"

HTableWidgetEx::HTableWidgetEx(QWidget* parent)
    : HTableWidget(parent)
{
    init();
}
void HTableWidgetEx::init() {}
void HTableWidgetEx::addSignleFile(const QString&) {}
