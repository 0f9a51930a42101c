#include "roomcompleter.h"

#include "roombrowser.h"
#include "roomtext.h"

#include <QAbstractItemView>
#include <QIdentityProxyModel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScreen>
#include <QScrollBar>

using TAVIXLibCtl::FoundRoom;
using TAVIXLibCtl::RoomBrowser;
namespace RoomText = TAVIXLibCtl::RoomText;
using namespace Qt::StringLiterals;

namespace {

// "ぺぽらん (desk-7) 192.168.1.20:6000 5/5人(満員) 合言葉 鍵 8a41 c0de ⚠似た名前 前に参加"
QString entryOf(const FoundRoom &room)
{
    QString text = room.name + u' ' + room.target();
    if (room.members >= 0)
        text += u" %1/%2人"_s.arg(room.members).arg(room.size);
    if (room.full())
        text += u"(満員)"_s;
    if (room.door)
        text += u" 合言葉"_s;
    if (!room.key.isEmpty())
        text += u" 鍵 "_s + RoomText::keyPrefix(room.key.left(8));
    if (room.alike)
        text += u" ⚠似た名前"_s;
    if (room.joinedBefore)
        text += u" 前に参加"_s;
    return text;
}

// The rooms as the list shows them: each entry in words, the longer key on
// pointing at it.
class RoomEntries : public QIdentityProxyModel
{
public:
    using QIdentityProxyModel::QIdentityProxyModel;

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
            return QIdentityProxyModel::data(index, role);
        const auto room = QIdentityProxyModel::data(index, RoomBrowser::RoomRole).value<FoundRoom>();
        if (role == Qt::DisplayRole)
            return entryOf(room);
        return room.key.isEmpty() ? QVariant() : RoomText::announcedKey(room.key);
    }
};

// Digits, dots, colons and brackets, or, with a colon, the hex digits of an
// IPv6 address and its zone: the start of an address, never of a name.
bool looksLikeAddress(QStringView text)
{
    const auto only = [text](QStringView allowed) {
        return std::all_of(text.begin(), text.end(), [allowed](QChar c) { return allowed.contains(c); });
    };
    return only(u"0123456789.:[]") || (text.contains(u':') && only(u"0123456789abcdefABCDEF.:[]%"));
}

} // namespace

RoomCompleter::RoomCompleter(RoomBrowser *rooms, QLineEdit *box) : QCompleter(box), m_box(box)
{
    auto *entries = new RoomEntries(this);
    entries->setSourceModel(rooms);
    setModel(entries);
    setCompletionMode(QCompleter::PopupCompletion);
    setCompletionRole(RoomBrowser::NameRole);
    setFilterMode(Qt::MatchContains);
    setCaseSensitivity(Qt::CaseInsensitive);
    box->setCompleter(this);
    m_list = popup();
    // What cannot be shown whole loses the middle of its name, never its address.
    m_list->setTextElideMode(Qt::ElideMiddle);
    m_list->setAccessibleName(QStringLiteral("見つかったルーム"));
    // Told before the box asks for completions of the new text.
    connect(box, &QLineEdit::textEdited, this, &RoomCompleter::typed);
    connect(this, qOverload<const QModelIndex &>(&QCompleter::activated), this, [this](const QModelIndex &index) {
        m_chosen = true;
        emit roomChosen(pathFromIndex(index), index.data(RoomBrowser::KeyRole).toString());
    });
}

QString RoomCompleter::pathFromIndex(const QModelIndex &index) const
{
    return index.data(RoomBrowser::TargetRole).toString();
}

void RoomCompleter::typed(const QString &text)
{
    m_typed = text;
    setCompletionRole(looksLikeAddress(text) ? RoomBrowser::TargetRole : RoomBrowser::NameRole);
    if (std::exchange(m_chosen, false))
        emit roomChosen({}, {});
}

bool RoomCompleter::eventFilter(QObject *watched, QEvent *event)
{
    // The box's own Down would only offer the entries that hold its text.
    if (watched == widget() && event->type() == QEvent::KeyPress
        && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Down && !m_list->isVisible()) {
        setCompletionPrefix(QString());
        complete();
        return true;
    }
    if (watched == m_list && event->type() == QEvent::Show) {
        m_typed = m_box->text();
        // The list opens as wide as the box: it takes what its entries need,
        // up to the screen's edge.
        const int needed = m_list->sizeHintForColumn(0) + 2 * m_list->frameWidth()
                + m_list->verticalScrollBar()->sizeHint().width();
        const int room = m_list->screen()->availableGeometry().right() - m_list->geometry().left() + 1;
        m_list->setMinimumWidth(qMin(needed, room));
    }
    // However the list goes, what the arrow keys showed goes with it; a
    // choice puts its own text in the box right after.
    if (watched == m_list && event->type() == QEvent::Hide && m_box->text() != m_typed)
        m_box->setText(m_typed);
    return QCompleter::eventFilter(watched, event);
}
