#include "passphrasedialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {

// As the room compares it.
QString asCompared(const QString &typed)
{
    return typed.normalized(QString::NormalizationForm_KC).trimmed();
}

QLineEdit *passwordField(const QString &name, QWidget *parent)
{
    auto *field = new QLineEdit(parent);
    field->setEchoMode(QLineEdit::Password);
    field->setAccessibleName(name);
    return field;
}

} // namespace

PassphraseDialog::PassphraseDialog(const QString &title, const QString &text, const QString &ok, bool twice,
                                   QWidget *parent)
    : QDialog(parent)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(title);
    setAccessibleName(title);
    setAccessibleDescription(text);
    auto *layout = new QVBoxLayout(this);
    auto *label = new QLabel(text, this);
    label->setWordWrap(true);
    layout->addWidget(label);
    auto *form = new QFormLayout;
    m_field = passwordField(u"合言葉"_s, this);
    form->addRow(u"合言葉(&P)"_s, m_field);
    if (twice) {
        m_again = passwordField(u"合言葉をもう一度"_s, this);
        form->addRow(u"もう一度(&A)"_s, m_again);
    }
    layout->addLayout(form);
    auto *buttons = new QDialogButtonBox(this);
    m_ok = buttons->addButton(ok, QDialogButtonBox::AcceptRole);
    m_cancel = buttons->addButton(u"やめる"_s, QDialogButtonBox::RejectRole);
    m_ok->setDefault(true);
    layout->addWidget(buttons);
    connect(m_field, &QLineEdit::textChanged, this, &PassphraseDialog::checkTyped);
    if (m_again)
        connect(m_again, &QLineEdit::textChanged, this, &PassphraseDialog::checkTyped);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        const QString typed = m_field->text();
        // The fields keep nothing once the passphrase has gone on.
        m_field->clear();
        if (m_again)
            m_again->clear();
        accept();
        emit chosen(typed);
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    checkTyped();
}

PassphraseDialog::PassphraseDialog(QWidget *parent)
    : PassphraseDialog(u"合言葉付きでサーバ開始"_s,
                       u"参加する人に伝える合言葉を決めてください。"
                       "合言葉を知らない人は入れません。合言葉はどこにも保存されません。"_s,
                       u"開始"_s, true, parent)
{
}

PassphraseDialog::PassphraseDialog(const QString &address, int port, const QString &why, QWidget *parent)
    : PassphraseDialog(u"合言葉"_s,
                       u"%1\n%2 のポート %3 のルームに入るには合言葉が要ります。"
                       "ホストの人から聞いた合言葉を入力してください。"_s.arg(why, address).arg(port),
                       u"接続"_s, false, parent)
{
}

// Nothing to start with an empty passphrase, or two that differ.
void PassphraseDialog::checkTyped()
{
    const QString typed = asCompared(m_field->text());
    m_ok->setEnabled(!typed.isEmpty() && (!m_again || typed == asCompared(m_again->text())));
}
