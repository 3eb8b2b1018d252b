// Texts that the application shows, exactly as the user sees them.
#pragma once

namespace marovi::app {

inline constexpr char16_t kCaption[] = u"Marovi v1.00b";
inline constexpr char16_t kCaptionError[] = u"エラー";
inline constexpr char16_t kCaptionInfo[] = u"情報";
inline constexpr char16_t kCaptionVersion[] = u"バージョン情報";

inline constexpr char16_t kNoExecutable[] = u"アイコンを変更するファイルが指定されていません";
inline constexpr char16_t kExecutableMissing[] = u"指定されたファイルは存在しません";
inline constexpr char16_t kNoIcon[] = u"変更後のアイコンが指定されていません";
inline constexpr char16_t kCannotCreateFolder[] = u"ディレクトリを作成できません";
inline constexpr char16_t kChangeFailed[] = u"アイコンを変更できませんでした";
inline constexpr char16_t kChangeDone[] = u"アイコンを変更しました";
inline constexpr char16_t kPathPrefix[] = u"Path : ";
inline constexpr char16_t kExeLoaded[] = u"実行ファイルを読み込みました";
inline constexpr char16_t kExeNotLoaded[] = u"実行ファイルを読み込めませんでした";
inline constexpr char16_t kIconLoaded[] = u"アイコンファイルを読み込みました";
inline constexpr char16_t kIconNotLoaded[] = u"アイコンファイルを読み込めませんでした";

inline constexpr char16_t kLabelBefore[] = u"変更前";
inline constexpr char16_t kLabelExecutable[] = u"実行ファイル:";
inline constexpr char16_t kLabelAfter[] = u"変更後";
inline constexpr char16_t kLabelIconFile[] = u"アイコンファイル:";
inline constexpr char16_t kLabelDestination[] = u"保存先:";
inline constexpr char16_t kBackupBox[] = u"バックアップを作成";
inline constexpr char16_t kChangeButton[] = u"変更";
inline constexpr char16_t kQuitButton[] = u"終了";
inline constexpr char16_t kBrowseButton[] = u"...";
inline constexpr char16_t kMenuHelp[] = u"ヘルプ(&H)";
inline constexpr char16_t kMenuAbout[] = u"バージョン情報(&A)...";
inline constexpr char16_t kFilterExecutable[] = u"実行ファイル(*.exe)|*.exe";
inline constexpr char16_t kFilterIcon[] = u"アイコン(*.ico)|*.ico";

// Message box flags: MB_TOPMOST with an icon kind and one OK button.
inline constexpr unsigned kBoxWarning = 0x40030;
inline constexpr unsigned kBoxInformation = 0x40040;
inline constexpr unsigned kBoxError = 0x40010;

}  // namespace marovi::app
