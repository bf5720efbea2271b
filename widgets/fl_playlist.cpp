#include "fl_playlist.h"

#include "platform/platform.h"
#include "transcode/flvcheck.h"
#include "widgets/hostaccess.h"
#include "widgets/messagebox.h"
#include "widgets/playlistfile.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDebug>
#include <QDir>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFutureWatcher>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QStyle>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <cstdio>

namespace {

const QColor kCurrentColor(45, 152, 223, 255);
const char* const kFolderPatterns =
    "*.mp4 *.avi *.rmvb *.mkv *.rm *.mpg *.3gp *.wmv *.flv *.mp3 *.wma *.zo3 *.zo4 *.ts";

// Created on the first context menu of any list and kept for the process's life.
struct MenuActions
{
    QAction* open;
    QAction* remove;
    QAction* add;
    QAction* clear;
};

const MenuActions& menu_actions()
{
    static const MenuActions actions{
        new QAction(FL_PlayList::tr("打开文件所在位置")),
        new QAction(FL_PlayList::tr("删除当前选中的行")),
        new QAction(FL_PlayList::tr("添加视频到列表")),
        new QAction(FL_PlayList::tr("清空直播列表记录")),
    };
    return actions;
}

QIcon file_icon(const QString& path)
{
    // Never freed: the icons it caches must not outlive the application at exit.
    static QFileIconProvider* provider = new QFileIconProvider;
    return provider->icon(QFileInfo(path));
}

// The file's own icon with a warning sign in its lower right corner.
QIcon warning_icon(const QString& path)
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    file_icon(path).paint(&painter, pixmap.rect());
    QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning).paint(&painter, QRect(14, 14, 18, 18));
    painter.end();
    return QIcon(pixmap);
}

QByteArray local_name(const QString& path)
{
    return path.toLocal8Bit();
}

// Takes files and folders dropped from a file manager, as the window's label
// invites: a file of a known media type, or a folder's media files by name.
class DropTarget : public QObject
{
public:
    explicit DropTarget(FL_PlayList* list)
        : QObject(list)
        , m_list(list)
    {
        list->viewport()->setAcceptDrops(true);
        list->viewport()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* /*watched*/, QEvent* event) override
    {
        const QEvent::Type type = event->type();
        if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop)
            return false;
        auto* drop = static_cast<QDropEvent*>(event);
        if (!drop->mimeData()->hasUrls())
            return false;
        drop->acceptProposedAction();
        if (type == QEvent::Drop) {
            const QStringList patterns = QString::fromLatin1(kFolderPatterns).split(QLatin1Char(' '));
            for (const QUrl& url : drop->mimeData()->urls()) {
                const QFileInfo info(url.toLocalFile());
                if (info.isDir()) {
                    for (const QFileInfo& file : QDir(info.filePath()).entryInfoList(patterns, QDir::Files, QDir::Name))
                        m_list->add_movieItem(file.filePath(), false);
                } else if (QDir::match(patterns, info.fileName())) {
                    m_list->add_movieItem(info.filePath(), false);
                }
            }
        }
        return true;
    }

private:
    FL_PlayList* m_list;
};

} // namespace

FL_PlayList::FL_PlayList(QWidget* parent)
    : QListWidget(parent)
{
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::NoFocus);
    connect(this, &QListWidget::itemDoubleClicked, this, &FL_PlayList::slot_itemDoubleClicked);
    new DropTarget(this);

    // The file is read once the window is up and the event loop runs.
    auto* load = new QTimer(this);
    load->setObjectName(QStringLiteral("load_timer"));
    load->setSingleShot(true);
    load->setInterval(500);
    connect(load, &QTimer::timeout, this, &FL_PlayList::slot_loadPlayList);
    load->start();
}

FL_PlayList::~FL_PlayList()
{
    // A probe still reading must not outlive the library that holds its code.
    for (auto* watcher : findChildren<QFutureWatcher<FlvCheck>*>())
        watcher->waitForFinished();
    exportPlayList();
}

QString FL_PlayList::save_path()
{
    static QString path;
    // Without a host there is no data folder yet; it is worked out once one exists.
    if (path.isEmpty()) {
        if (ECommon* common = host::common())
            path = QString::fromStdString(common->getAppDataPath()) + QStringLiteral("/player.list");
    }
    return path;
}

void FL_PlayList::add_movieItem(const QString& path, bool highlight)
{
    QString file = path;
    file.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (file.isEmpty() || !QFileInfo::exists(file))
        return;
    if (QListWidgetItem* existing = isMovieAlreadAdded(file)) {
        if (highlight)
            highlight_item(existing);
        return;
    }
    auto* item = new QListWidgetItem(QFileInfo(file).fileName());
    item->setData(PathRole, file);
    item->setIcon(file_icon(file));
    insertItem(count(), item);
    if (highlight)
        highlight_item(item);
    check_flv(file);
}

void FL_PlayList::add_movieItems()
{
    const QStringList files = QFileDialog::getOpenFileNames(this, tr("打开视频文件"), tr(""),
                                                            tr("Movie (%1)").arg(QStringLiteral("*.mp4 *.flv")));
    for (const QString& file : files)
        add_movieItem(file, false);
}

QListWidgetItem* FL_PlayList::isMovieAlreadAdded(const QString& path) const
{
    for (int row = 0; row < count(); ++row) {
        QListWidgetItem* it = item(row);
        if (it->data(PathRole).toString() == path)
            return it;
    }
    return nullptr;
}

void FL_PlayList::del_movieItem(int row)
{
    QListWidgetItem* it = item(row);
    if (!it)
        return;
    if (it == m_curItem)
        m_curItem = nullptr;
    delete takeItem(row);
}

void FL_PlayList::clearPlayList()
{
    m_curItem = nullptr;
    qDebug() << "@@@@@@@@@: " << count();
    while (count() > 0) {
        delete takeItem(0);
        qDebug() << "----- " << count();
    }
    if (FILE* file = std::fopen(local_name(save_path()).constData(), "wt"))
        std::fclose(file);
}

void FL_PlayList::highlight_item(QListWidgetItem* item)
{
    if (m_curItem) {
        if (m_curItem->listWidget())
            m_curItem->setSelected(false);
        m_curItem->setForeground(QColor(Qt::lightGray));
    }
    m_curItem = item;
    m_curItem->setForeground(kCurrentColor);
    if (m_curItem->listWidget())
        m_curItem->setSelected(true);
}

void FL_PlayList::slot_itemDoubleClicked(QListWidgetItem* it)
{
    if (!it)
        return;
    const QString path = it->data(PathRole).toString();
    if (!QFileInfo::exists(path)) {
        msgbox::information(nullptr, tr("提示"), tr("该视频文件已经被移动或删除,\n该列表项无效!"), tr("确定"));
        del_movieItem(row(it));
        return;
    }
    highlight_item(it);
    if (m_owner)
        m_owner->do_live(path);
}

void FL_PlayList::play_pre_next(bool next)
{
    if (!m_curItem)
        return;
    int wanted = row(m_curItem) + (next ? 1 : -1);
    // After the last entry the list starts again at the first.
    if (wanted >= count())
        wanted = 0;
    if (QListWidgetItem* it = item(wanted))
        slot_itemDoubleClicked(it);
}

void FL_PlayList::show_movieDir(int row)
{
    QListWidgetItem* it = item(row);
    if (!it)
        return;
    // A path too long for the platform is refused there; nothing is reported.
    platform::show_in_file_manager(it->data(PathRole).toString());
}

void FL_PlayList::exportPlayList()
{
    FILE* file = std::fopen(local_name(save_path()).constData(), "wt");
    if (!file)
        return;
    for (int row = 0; row < count(); ++row) {
        const QString path = item(row)->data(PathRole).toString().trimmed();
        if (!path.isEmpty())
            std::fprintf(file, "%s\n", path.toUtf8().constData());
    }
    std::fclose(file);
}

void FL_PlayList::slot_loadPlayList()
{
    FILE* file = std::fopen(local_name(save_path()).constData(), "rt");
    if (!file)
        return;
    const QStringList entries = read_playlist_lines(file);
    std::fclose(file);
    for (const QString& entry : entries)
        add_movieItem(entry, false);
}

void FL_PlayList::refresh_list(const QString& path)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (folder == m_lastDir)
        return;
    m_lastDir = folder;
    const QStringList names =
        QDir(folder).entryList(QString::fromLatin1(kFolderPatterns).split(QLatin1Char(' ')), QDir::AllEntries);
    if (names.isEmpty())
        return;
    clearPlayList();
    for (const QString& name : names) {
        const QString file = m_lastDir + QLatin1Char('/') + name;
        add_movieItem(file, file == path);
    }
}

void FL_PlayList::contextMenuEvent(QContextMenuEvent* event)
{
    const MenuActions& actions = menu_actions();
    const int row = indexAt(event->pos()).row();
    QMenu menu(this);
    if (row >= 0) {
        menu.addAction(actions.open);
        menu.addAction(actions.remove);
    }
    menu.addAction(actions.add);
    menu.addAction(actions.clear);

    QAction* chosen = menu.exec(event->globalPos());
    if (chosen == actions.open)
        show_movieDir(row);
    else if (chosen == actions.remove)
        del_movieItem(indexAt(event->pos()).row());
    else if (chosen == actions.clear)
        clearPlayList();
    else if (chosen == actions.add)
        add_movieItems();
}

void FL_PlayList::check_flv(const QString& path)
{
    // Reading the headers may take a while (a network share); the list stays responsive.
    auto* watcher = new QFutureWatcher<FlvCheck>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, path] {
        mark_flv(path, watcher->result());
        watcher->deleteLater();
    });
    watcher->setFuture(QtConcurrent::run(check_flv_copy, path));
}

void FL_PlayList::mark_flv(const QString& path, const FlvCheck& check)
{
    // The entry may have gone (or come back) while its file was read.
    QListWidgetItem* it = isMovieAlreadAdded(path);
    if (!it || check.problems.isEmpty())
        return;
    it->setData(FlvProblemRole, check.problems);
    it->setToolTip(check.problems.join(QLatin1Char('\n')));
    it->setIcon(warning_icon(path));
}

void FL_PlayList::mark_unpushable(QListWidgetItem* item, const QString& why)
{
    if (!item)
        return;
    QStringList problems = item->data(FlvProblemRole).toStringList();
    if (!problems.contains(why))
        problems << why;
    item->setData(FlvProblemRole, problems);
    item->setToolTip(problems.join(QLatin1Char('\n')));
    item->setIcon(warning_icon(item->data(PathRole).toString()));
}
