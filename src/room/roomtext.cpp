#include "roomtext.h"

#include <QStringList>

#include <array>

using namespace Qt::StringLiterals;

namespace TAVIXLibCtl::RoomText {

namespace {

struct ReasonWords
{
    EndReason reason;
    QStringView japanese; // what the status display shows
    QStringView english;  // what the headless tool adds on its error line
};

// Every end reason once, in both languages.
constexpr std::array kReasons{
    ReasonWords{EndReason::None, u"", u"closed"},
    ReasonWords{EndReason::Closed, u"切断しました", u"closed"},
    ReasonWords{EndReason::PortInUse, u"ポートが使用中です", u"port in use"},
    ReasonWords{EndReason::ListenFailed, u"サーバを開始できません", u"cannot listen"},
    ReasonWords{EndReason::HostNotFound, u"ホストが見つかりません", u"host not found"},
    ReasonWords{EndReason::Refused, u"接続を拒否されました", u"connection refused"},
    ReasonWords{EndReason::Unreachable, u"ホストに届きません", u"host unreachable"},
    ReasonWords{EndReason::NoAnswer, u"応答がありません", u"no answer"},
    ReasonWords{EndReason::RoomFull, u"満員で入れません", u"room full"},
    ReasonWords{EndReason::Busy, u"混み合っています", u"the host is busy with other joiners"},
    ReasonWords{EndReason::OtherProtocol, u"相手が違う方式です", u"other protocol or version"},
    ReasonWords{EndReason::HostLeft, u"サーバが終了しました", u"host left"},
    ReasonWords{EndReason::ConnectionLost, u"接続が切れました", u"connection lost"},
    ReasonWords{EndReason::HostKeyChanged, u"ホストの鍵が変わりました", u"the host's key has changed"},
    ReasonWords{EndReason::KnownHostsUnreadable, u"鍵の記録を読めません", u"cannot read the kept host keys"},
    ReasonWords{EndReason::NoTls, u"暗号化を使えません", u"no TLS support in this Qt"},
    ReasonWords{EndReason::KeyNotAsAnnounced, u"名乗りと鍵が違います",
                u"the host's key is not the one its room announced"},
    ReasonWords{EndReason::PassphraseNeeded, u"合言葉が必要です", u"the room needs a passphrase"},
    ReasonWords{EndReason::PassphraseWrong, u"合言葉が違います", u"wrong passphrase"},
    ReasonWords{EndReason::PassphraseTryLater, u"合言葉を続けて間違えました",
                u"too many wrong passphrases from here: try again later"},
};

const ReasonWords &wordsFor(EndReason reason)
{
    for (const ReasonWords &words : kReasons) {
        if (words.reason == reason)
            return words;
    }
    return kReasons.front();
}

} // namespace

QString fallbackName() { return u"名無し"_s; }

// The "..." are three full stops.
QString hosting() { return u"サーバ起動中..."_s; }
QString connecting() { return u"接続中..."_s; }
QString disconnected() { return u"切断しました。"_s; }

// The gap before が is a space, the one after it an ideographic space.
QString arrived(const QString &name) { return name + u"さん が\u3000きました"_s; }
QString left(const QString &name) { return name + u"さん が\u3000いなくなりました"_s; }
std::array<QStringView, 3> saidPieces(const QString &name, const QString &line)
{
    return {name, u" > ", line};
}

QString said(const QString &name, const QString &line)
{
    const auto pieces = saidPieces(name, line);
    QString text;
    text.reserve(pieces[0].size() + pieces[1].size() + pieces[2].size());
    for (const QStringView piece : pieces)
        text += piece;
    return text;
}

QString renamed(const QString &name, const QString &newName)
{
    return name + u" さんは\u3001\u300C"_s + newName + u"\u300Dさんに名前を変更しました"_s;
}

QString fingerprint(const QByteArray &sha256)
{
    constexpr qsizetype kShownBytes = 16;
    constexpr qsizetype kBytesPerGroup = 2;
    QStringList groups;
    const QByteArray shown = sha256.left(kShownBytes);
    for (qsizetype i = 0; i < shown.size(); i += kBytesPerGroup)
        groups << QString::fromLatin1(shown.mid(i, kBytesPerGroup).toHex());
    return groups.join(u' ');
}

QString hostKey(const QByteArray &sha256) { return u"ホストの鍵: "_s + fingerprint(sha256); }
QString keyPrefix(const QString &hex) { return fingerprint(QByteArray::fromHex(hex.toLatin1())); }
QString announcedKey(const QString &hex) { return u"名乗った鍵: "_s + keyPrefix(hex); }
QString keyNotKept(const QString &error) { return u"鍵を保存できません: "_s + error; }

QString reason(EndReason reason) { return wordsFor(reason).japanese.toString(); }
QString reasonInEnglish(EndReason reason) { return wordsFor(reason).english.toString(); }

} // namespace TAVIXLibCtl::RoomText
