#pragma once
// The messages brimlow-audio-capture shows the host, in Japanese as the host shows them to people.
// Hosts match some of them; keep every byte. The sound server's failures end with the call that
// failed and the server's reason in full-width parentheses, which connection.cpp adds.
namespace brimlow::protocol {

// "capture.status" messages, by state.
inline constexpr const char* kCaptureRequesting =
    "画面とシステムオーディオの録音権限を確認しています。";
inline constexpr const char* kCaptureStarted = "Macのシステム音声を取得しています。";
inline constexpr const char* kCaptureStopped = "システム音声の取得を停止しました。";

// "capture.error" messages of the program, each followed by the detail.
inline constexpr const char* kCaptureStopFailedPrefix = "システム音声の停止処理に失敗しました: ";
inline constexpr const char* kCaptureEndedPrefix = "システム音声の取得が停止しました: ";
inline constexpr const char* kConversionFailedPrefix =
    "システム音声を16 kHzへ変換できませんでした: ";
inline constexpr const char* kDisplayUnavailable = "取得対象のディスプレイが見つかりません。";
inline constexpr const char* kAudioFormatUnavailable =
    "システム音声のフォーマットを読み取れませんでした。";
inline constexpr const char* kAudioBufferUnavailable =
    "システム音声のバッファを作成できませんでした。";

// What could not be done with the sound server.
inline constexpr const char* kServerPrepareFailed =
    "サウンドサーバーとの通信を準備できませんでした";
inline constexpr const char* kServerConnectFailed = "サウンドサーバーに接続できませんでした";
inline constexpr const char* kServerInfoFailed = "サウンドサーバーの情報を得られませんでした";
inline constexpr const char* kServerConnectionLost = "サウンドサーバーとの接続が切れました";
// "サウンドサーバーが<ms> ms以内に応答しませんでした（<call>() timed out）。"
inline constexpr const char* kServerTimeoutBefore = "サウンドサーバーが";
inline constexpr const char* kServerTimeoutAfter = " ms以内に応答しませんでした";
inline constexpr const char* kOutputsListFailed = "出力装置の一覧を得られませんでした";
inline constexpr const char* kOutputQueryFailed = "出力装置を調べられませんでした";
inline constexpr const char* kOutputFormatUnsupported = "出力装置の音声形式を扱えません";
inline constexpr const char* kNoOutput = "音声の出力装置が見つかりません。";
inline constexpr const char* kOutputRemoved = "取得していた出力装置が取り除かれました";
inline constexpr const char* kApplicationsListFailed = "アプリケーションの一覧を得られませんでした";
inline constexpr const char* kStreamsQueryFailed = "再生ストリームを調べられませんでした";
inline constexpr const char* kStreamsSubscribeFailed = "再生ストリームを監視できませんでした";
inline constexpr const char* kAlreadyStarted = "システム音声の取得はすでに開始されています。";
inline constexpr const char* kClockStartFailed = "録音の時計を始められませんでした";
inline constexpr const char* kRecordFailed = "再生ストリームを録音できませんでした";
inline constexpr const char* kKeeperFailed = "出力装置の音声を受け取れませんでした";
inline constexpr const char* kReadFailed = "録音した音声を読み取れませんでした";
inline constexpr const char* kRecordStopFailed = "録音を止められませんでした";

}  // namespace brimlow::protocol
