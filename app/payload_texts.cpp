// The window's status text for a change that is done, with what it found
// behind the image.
#include <string>

#include "app/change_workflow.h"
#include "app/messages.h"

namespace marovi::app {

namespace {

const char16_t* PayloadText(PayloadKind kind) {
  switch (kind) {
    case PayloadKind::Nsis: return u"NSIS インストーラー";
    case PayloadKind::Zip: return u"zip アーカイブ";
    case PayloadKind::Inno: return u"Inno Setup インストーラー";
    case PayloadKind::DotNetBundle: return u".NET 単一ファイル バンドル";
    case PayloadKind::Unknown: break;
  }
  return u"不明なデータ";
}

std::u16string Digits(std::uint64_t value) {
  std::u16string out;
  do {
    out.insert(out.begin(), static_cast<char16_t>(u'0' + value % 10));
    value /= 10;
  } while (value != 0);
  return out;
}

}  // namespace

std::u16string DoneStatusText(const ChangeOutcome& outcome) {
  std::u16string text = kChangeDone;
  for (const PayloadFinding& p : outcome.payloads) {
    text += u"（";
    if (p.kind == PayloadKind::Unknown) {
      text += u"末尾の不明なデータ " + Digits(p.size) + u" バイトはそのまま移動しました";
    } else if (!p.intact) {
      text += std::u16string(u"変更前から壊れていた") + PayloadText(p.kind) + u"はそのままです";
    } else {
      text += PayloadText(p.kind) + std::u16string(u"を検出し、動作するよう保ちました");
      if (p.kind == PayloadKind::Nsis)
        text +=
            u"。書き出すアンインストーラーは /NCRC なしでは整合性検査に失敗します。"
            u"アイコンはインストーラーのスクリプトで指定してください";
    }
    text += u"）";
  }
  return text;
}

}  // namespace marovi::app
