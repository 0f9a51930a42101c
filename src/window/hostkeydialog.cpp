#include "hostkeydialog.h"

#include "roomtext.h"

#include <QPushButton>

using namespace Qt::StringLiterals;
namespace RoomText = TAVIXLibCtl::RoomText;
using TAVIXLibCtl::EndReason;

HostKeyDialog::HostKeyDialog(const QString &title, const QString &text, const QString &informative,
                             const QString &decline, QWidget *parent)
    : QMessageBox(parent)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setIcon(QMessageBox::Warning);
    setWindowTitle(title);
    setText(text);
    setInformativeText(informative);
    m_decline = addButton(decline, QMessageBox::RejectRole);
    setDefaultButton(static_cast<QPushButton *>(m_decline));
    setEscapeButton(m_decline);
    // A screen reader reads the title as the dialog's name and the whole
    // message as its description.
    setAccessibleName(title);
    setAccessibleDescription(text + u'\n' + informative);
}

HostKeyDialog::HostKeyDialog(const QString &address, int port, const QByteArray &remembered,
                             const QByteArray &shown, QWidget *parent)
    : HostKeyDialog(RoomText::reason(EndReason::HostKeyChanged),
                    u"%1 のポート %2 のホストが、前に参加したときと違う鍵を示しました。"_s.arg(address).arg(port),
                    u"記録している鍵:\n    %1\n今回示された鍵:\n    %2\n\n"
                    "ホストのマシンやアカウントが変わったのかもしれません。"
                    "あるいは、別のだれかがそのアドレスで応答しています。\n"
                    "ホストの人に状態表示のツールチップの「ホストの鍵」を読み上げてもらい、"
                    "今回示された鍵と同じか確かめてください。"_s
                        .arg(RoomText::fingerprint(remembered), RoomText::fingerprint(shown)),
                    u"接続しない"_s, parent)
{
    m_trust = addButton(u"新しい鍵を信頼して接続"_s, QMessageBox::AcceptRole);
    connect(this, &QMessageBox::buttonClicked, this, [this](QAbstractButton *button) {
        if (button == m_trust)
            emit trusted();
    });
}

HostKeyDialog *HostKeyDialog::notAsAnnounced(const QString &address, int port, const QString &announced,
                                             const QByteArray &shown, QWidget *parent)
{
    return new HostKeyDialog(
        RoomText::reason(EndReason::KeyNotAsAnnounced),
        u"%1 のポート %2 のホストは、一覧でルームが名乗った鍵を示しませんでした。接続していません。"_s
            .arg(address).arg(port),
        u"ルームが名乗った鍵:\n    %1\nホストが示した鍵:\n    %2\n\n"
        "別のだれかが、そのルームの名前と鍵を名乗っているのかもしれません。\n"
        "ホストの人に状態表示のツールチップの「ホストの鍵」を読み上げてもらい、"
        "どちらの鍵か確かめてください。"_s
            .arg(RoomText::keyPrefix(announced), RoomText::fingerprint(shown)),
        u"閉じる"_s, parent);
}
