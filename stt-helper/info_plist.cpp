// The program's information property list, embedded in a read-only section of its own so that
// tools can read the bundle identity and the reason it gives for using speech recognition.
extern "C" {
__attribute__((section("__info_plist"), used)) const char brimlowSttHelperInfoPlist[] =
    R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key>
	<string>app.brimlow.stt-helper</string>
	<key>CFBundleName</key>
	<string>Brimlow STT Helper</string>
	<key>NSSpeechRecognitionUsageDescription</key>
	<string>会議音声をこのMac内でリアルタイムに文字起こしするために音声認識を使用します。</string>
</dict>
</plist>
)";
}
