#include "htablewidget.h"

#include "messagebox.h"

#include <QDirIterator>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileIconProvider>
#include <QMimeData>

namespace {

// 999 rows at most; a folder walk stops counting at 1000, which stands for
// "1000 or more".
constexpr int kMaxFiles = 999;
constexpr int kCountCap = 1000;

// A folder walk lists files only (no hidden files, no symbolic links) and
// descends into sub-folders.
constexpr QDir::Filters kWalkFilters = QDir::Files | QDir::NoSymLinks;
constexpr QDirIterator::IteratorFlags kWalkFlags = QDirIterator::Subdirectories;

} // namespace

HTableWidget::HTableWidget(QWidget* parent)
    : QTableWidget(parent)
{
    setAcceptDrops(true);
    connect(this, &QTableWidget::cellDoubleClicked, this, &HTableWidget::slot_doubleClicked);
}

void HTableWidget::init()
{
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setColumnHidden(1, true);
    setColumnHidden(2, true);
    setColumnHidden(3, true);
    setColumnHidden(5, true);
    setColumnWidth(0, 50);
    setColumnWidth(1, 380);
    setColumnWidth(4, 130);
    setSelectionBehavior(QAbstractItemView::SelectRows);
}

void HTableWidget::addSignleFile(const QString& path)
{
    if (path.isEmpty() || !QFileInfo::exists(path))
        return;
    if (isPathAreadyAdd(path))
        return;
    const QFileInfo info(path);
    const QIcon icon = file_icon(info);
    int count = 1;
    if (!isFilesCountOverflow(info, path, count))
        return;

    const int row = rowCount();
    insertRow(row);
    auto* icon_item = new QTableWidgetItem;
    icon_item->setIcon(icon);
    icon_item->setData(Qt::UserRole + 1, info.isDir() ? 2 : 1);
    setItem(row, 0, icon_item);
    setItem(row, 1, new QTableWidgetItem(info.fileName()));
    setItem(row, 2, new QTableWidgetItem(QString::number(count)));
    setItem(row, 3, new QTableWidgetItem(path));
    setItem(row, 4, new QTableWidgetItem(QStringLiteral("/")));
}

void HTableWidget::addFilesToTable(const QString& path)
{
    if (path.isEmpty())
        return;
    const QFileInfo info(path);
    if (!info.exists())
        return;
    int count = 0;
    if (!isFilesCountOverflow(info, path, count))
        return;
    if (!info.isDir()) {
        addSignleFile(path);
        return;
    }
    // The limit test above covered the whole folder, so none between files.
    QDirIterator it(path, kWalkFilters, kWalkFlags);
    while (it.hasNext())
        addSignleFile(it.next());
}

void HTableWidget::addUrlsToTable(QList<QUrl> urls)
{
    for (const QUrl& url : urls) {
        const QString path = url.toLocalFile();
        if (path.isEmpty())
            continue;
        addFilesToTable(path);
    }
}

bool HTableWidget::isPathAreadyAdd(const QString& path)
{
    const int rows = rowCount();
    for (int row = 0; row < rows; ++row) {
        const QTableWidgetItem* source = item(row, 3);
        if (source && source->text() == path) {
            msgbox::information(this, tr("提示"), tr("该文件项已经添加，请勿重复添加!\n%1").arg(path), tr("确定"));
            return true;
        }
    }
    return false;
}

int HTableWidget::filesCountInDir(const QString& path)
{
    int count = 0;
    QDirIterator it(path, kWalkFilters, kWalkFlags);
    while (count < kCountCap && it.hasNext()) {
        it.next();
        ++count;
    }
    return count;
}

bool HTableWidget::isFilesCountOverflow(const QFileInfo& info, const QString& path, int& count)
{
    const int rows = rowCount();
    if (info.isDir()) {
        count = filesCountInDir(path);
        if (count <= 0) {
            msgbox::information(this, tr("提示"), tr("添加失败，该目录没有任何文件，"), tr("确定"));
            return false;
        }
        if (count > kMaxFiles) {
            msgbox::information(this, tr("提示"),
                                tr("添加失败，一次申请最大支持文件%1个，\r\n本次选择文件夹包含文件 >%2个，"
                                   "超过最大文件支持数。")
                                    .arg(kMaxFiles)
                                    .arg(kMaxFiles),
                                tr("确定"));
            return false;
        }
        // A folder may fill the table to 998 rows only; a single file to 999.
        if (count + rows <= kMaxFiles - 1)
            return true;
        msgbox::information(this, tr("提示"),
                            tr("添加失败，一次申请最大支持文件%1个，当前已添加文件%2个，\r\n本次选择文件夹包含"
                               "文件%3个，超过最大文件支持数。")
                                .arg(kMaxFiles)
                                .arg(rows)
                                .arg(count),
                            tr("确定"));
        return false;
    }
    if (rows <= kMaxFiles - 1)
        return true;
    msgbox::information(this, tr("提示"),
                        tr("添加失败，一次申请最大支持文件%1个，当前已添加文件%2个。").arg(kMaxFiles).arg(rows),
                        tr("确定"));
    return false;
}

int HTableWidget::alreadyAddFilesCount()
{
    return rowCount();
}

void HTableWidget::removeSelectedFiles()
{
    int row = 0;
    while (row < rowCount()) {
        const QTableWidgetItem* first = item(row, 0);
        if (first && first->isSelected())
            removeRow(row); // the next row moves up to this index
        else
            ++row;
    }
}

void HTableWidget::removeCheckedFiles()
{
    int row = 0;
    while (row < rowCount()) {
        const QTableWidgetItem* first = item(row, 0);
        if (first && first->data(Qt::CheckStateRole).toInt() == Qt::Checked)
            removeRow(row);
        else
            ++row;
    }
}

void HTableWidget::removeAllRows()
{
    const int rows = rowCount();
    for (int i = 0; i < rows; ++i)
        removeRow(0);
}

void HTableWidget::slot_doubleClicked(int, int) {}

QIcon HTableWidget::file_icon(const QFileInfo& info)
{
    // Building a provider costs about a millisecond, a thousand rows a second.
    // Never freed: the icons it caches must not outlive the application at exit.
    static QFileIconProvider* provider = new QFileIconProvider;
    return provider->icon(info);
}

void HTableWidget::dragEnterEvent(QDragEnterEvent* event)
{
    event->setDropAction(Qt::LinkAction);
    event->accept();
}

// Replaces the item view's handling, which would judge every position
// between items and could refuse the drop.
void HTableWidget::dragMoveEvent(QDragMoveEvent*) {}

void HTableWidget::dropEvent(QDropEvent* event)
{
    const QMimeData* data = event->mimeData();
    if (!data || !data->hasUrls())
        return;
    const QList<QUrl> urls = data->urls();
    if (!urls.isEmpty())
        addUrlsToTable(urls);
}
