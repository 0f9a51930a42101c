#include "hostkeydialog.h"

#include "roomtext.h"

#include <QPushButton>

using namespace Qt::StringLiterals;
namespace RoomText = TAVIXLibCtl::RoomText;

HostKeyDialog::HostKeyDialog(const QString &address, int port, const QByteArray &remembered,
                             const QByteArray &shown, QWidget *parent)
    : QMessageBox(parent)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setIcon(QMessageBox::Warning);
    const QString title = RoomText::reason(TAVIXLibCtl::EndReason::HostKeyChanged);
    setWindowTitle(title);
    setText(u"%1 のポート %2 のホストが、前に参加したときと違う鍵を示しました。"_s.arg(address).arg(port));
    setInformativeText(
        u"記録している鍵:\n    %1\n今回示された鍵:\n    %2\n\n"
        "ホストのマシンやアカウントが変わったのかもしれません。"
        "あるいは、別のだれかがそのアドレスで応答しています。\n"
        "ホストの人に状態表示のツールチップの「ホストの鍵」を読み上げてもらい、"
        "今回示された鍵と同じか確かめてください。"_s
            .arg(RoomText::fingerprint(remembered), RoomText::fingerprint(shown)));
    m_decline = addButton(u"接続しない"_s, QMessageBox::RejectRole);
    m_trust = addButton(u"新しい鍵を信頼して接続"_s, QMessageBox::AcceptRole);
    setDefaultButton(static_cast<QPushButton *>(m_decline));
    setEscapeButton(m_decline);
    // A screen reader reads the title as the dialog's name and the whole
    // message as its description.
    setAccessibleName(title);
    setAccessibleDescription(text() + u'\n' + informativeText());
    connect(this, &QMessageBox::buttonClicked, this, [this](QAbstractButton *button) {
        if (button == m_trust)
            emit trusted();
    });
}
