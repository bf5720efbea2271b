#include "htablewidget.h"

HTableWidget::HTableWidget(QWidget* parent)
    : QTableWidget(parent)
{
}
void HTableWidget::init() {}
void HTableWidget::addSignleFile(const QString&) {}
void HTableWidget::addFilesToTable(const QString&) {}
void HTableWidget::addUrlsToTable(QList<QUrl>) {}
bool HTableWidget::isPathAreadyAdd(const QString&)
{
    return false;
}
int HTableWidget::filesCountInDir(const QString&)
{
    return 0;
}
bool HTableWidget::isFilesCountOverflow(const QFileInfo&, const QString&, int&)
{
    return false;
}
int HTableWidget::alreadyAddFilesCount()
{
    return rowCount();
}
void HTableWidget::removeSelectedFiles() {}
void HTableWidget::removeCheckedFiles() {}
void HTableWidget::removeAllRows() {}
void HTableWidget::slot_doubleClicked(int, int) {}
void HTableWidget::dragEnterEvent(QDragEnterEvent*) {}
void HTableWidget::dragMoveEvent(QDragMoveEvent*) {}
void HTableWidget::dropEvent(QDropEvent*) {}
