// Every console text of the program, as the CP932 bytes that go to the
// console. They live here and nowhere else, so that a text is changed in one
// place and tests compare against the same bytes the program prints. Each
// comment gives the text as characters and what it says.
#pragma once

inline constexpr char kBanner2[] = "Moves one file over a serial port to or from a program loader\n\n";
inline constexpr char kOpenFailed[] = "OpenConnection failed.\n";
inline constexpr char kSendHeaderLine[] = "load addr:%02X%02X run addr:%02X%02X size:%06lX\n";
inline constexpr char kReceiveHeaderLine[] = "load addr:%04X run addr:%04X size:%06lX\n";
inline constexpr char kSendTextLine[] = "Text mode. size:%06lX\n";
// 16 blanks after the period wipe the rest of the reception prompt.
inline constexpr char kReceiveTextLine[] = "\rText mode.                \n";
inline constexpr char kHeaderByteWriting[] = "W\r";
inline constexpr char kHeaderByteSent[] = "S\r";
inline constexpr char kSendFrame[] = "\r|----------|\r|";
inline constexpr char kReceiveFrame[] = "|----------|\r|";
inline constexpr char kProgressMark[] = "o";

// 'File Transfer Utility ｢VELTA｣ Version 1.05/Win32\n': first banner line; the corner brackets are half-width, one byte each
inline constexpr char kBanner[] = "File Transfer Utility \xA2VELTA\xA3 Version 1.05/Win32\n";
// 'Usage : VELTA filename [option]\n\n': usage text, nine lines printed in this order
inline constexpr char kUsage1[] = "Usage : VELTA filename [option]\n\n";
// 'option : -Sxxxx    格納開始アドレス（１６進数）\n': "storage start address (hexadecimal)"
inline constexpr char kUsage2[] = "option : -Sxxxx    \x8Ai\x94[\x8AJ\x8En\x83" "A\x83h\x83\x8C\x83X\x81i\x82P\x82U\x90i\x90\x94\x81j\n";
// '         -MR       ファイル受信\n': "receive a file"
inline constexpr char kUsage3[] = "         -MR       \x83t\x83@\x83" "C\x83\x8B\x8E\xF3\x90M\n";
// '         -MS       ファイル送信\n': "send a file"
inline constexpr char kUsage4[] = "         -MS       \x83t\x83@\x83" "C\x83\x8B\x91\x97\x90M\n";
// '         -Bxxxx    転送速度（300～38400）\n': "transfer speed (300 to 38400)"
inline constexpr char kUsage5[] = "         -Bxxxx    \x93]\x91\x97\x91\xAC\x93x\x81i300\x81`38400\x81j\n";
// '         -N        ヘッダを付加しない\n': "do not add the header"
inline constexpr char kUsage6[] = "         -N        \x83w\x83" "b\x83_\x82\xF0\x95t\x89\xC1\x82\xB5\x82\xC8\x82\xA2\n";
// '         -T        テキストモード\n': "text mode"
inline constexpr char kUsage7[] = "         -T        \x83" "e\x83L\x83X\x83g\x83\x82\x81[\x83h\n";
// '         -Px       ポート\n': "port"
inline constexpr char kUsage8[] = "         -Px       \x83|\x81[\x83g\n";
// '         -Fx       フロー制御(0:なし,1:ハード,2:ソフト)\n': "flow control (0 none, 1 hardware, 2 software)"; the second byte of ソ is 0x5C
inline constexpr char kUsage9[] = "         -Fx       \x83t\x83\x8D\x81[\x90\xA7\x8C\xE4(0:\x82\xC8\x82\xB5,1:\x83n\x81[\x83h,2:\x83\x5C\x83t\x83g)\n";
// '%s をオープンできません\n': "cannot open %s"
inline constexpr char kCannotOpen[] = "%s \x82\xF0\x83I\x81[\x83v\x83\x93\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\n";
// '\r＊＊中断＊＊              \n': "aborted"; the blanks wipe the rest of the progress line
inline constexpr char kAborted[] = "\r\x81\x96\x81\x96\x92\x86\x92" "f\x81\x96\x81\x96              \n";
// '\x07\r－送信完了－': "transmission complete", with the bell
inline constexpr char kSendDone[] = "\a\r\x81|\x91\x97\x90M\x8A\xAE\x97\xB9\x81|";
// '%dbpsで送信してください': "please send at %d bps"; no line end, the first byte overwrites it
inline constexpr char kReceivePrompt[] = "%dbps\x82\xC5\x91\x97\x90M\x82\xB5\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2";
// '\r－受信中－': "receiving" (text mode)
inline constexpr char kReceiving[] = "\r\x81|\x8E\xF3\x90M\x92\x86\x81|";
// '\x07\r－受信完了－': "reception complete", with the bell
inline constexpr char kReceiveDone[] = "\a\r\x81|\x8E\xF3\x90M\x8A\xAE\x97\xB9\x81|";
// '%s は大きすぎます（ヘッダを付けて送れるのは 16777199 バイトまで）\n': "%s is too large (at most 16777199 bytes can be sent with a header)"
inline constexpr char kTooLarge[] = "%s \x82\xCD\x91\xE5\x82\xAB\x82\xB7\x82\xAC\x82\xDC\x82\xB7\x81i\x83w\x83" "b\x83_\x82\xF0\x95t\x82\xAF\x82\xC4\x91\x97\x82\xEA\x82\xE9\x82\xCC\x82\xCD 16777199 \x83o\x83" "C\x83g\x82\xDC\x82\xC5\x81j\n";
// '%s のヘッダのサイズ %06lX が 16 未満です\n': "the header size %06lX of %s is below 16"
inline constexpr char kStoredSizeTooSmall[] = "%s \x82\xCC\x83w\x83" "b\x83_\x82\xCC\x83T\x83" "C\x83Y %06lX \x82\xAA 16 \x96\xA2\x96\x9E\x82\xC5\x82\xB7\n";
// '%s はヘッダのサイズ %06lX より短いです\n': "%s is shorter than its header size %06lX"
inline constexpr char kFileShorterThanHeader[] = "%s \x82\xCD\x83w\x83" "b\x83_\x82\xCC\x83T\x83" "C\x83Y %06lX \x82\xE6\x82\xE8\x92Z\x82\xA2\x82\xC5\x82\xB7\n";
// 'ヘッダのサイズ %06lX が 16 未満です\n': "the header size %06lX is below 16"
inline constexpr char kReceivedSizeTooSmall[] = "\x83w\x83" "b\x83_\x82\xCC\x83T\x83" "C\x83Y %06lX \x82\xAA 16 \x96\xA2\x96\x9E\x82\xC5\x82\xB7\n";
// '\n%s に書き込めません\n': "cannot write to %s"
inline constexpr char kCannotWrite[] = "\n%s \x82\xC9\x8F\x91\x82\xAB\x8D\x9E\x82\xDF\x82\xDC\x82\xB9\x82\xF1\n";
// '%s は通常のファイルではないので送れません\n': "%s is not a regular file, so it cannot be sent" (a directory, FIFO or device)
inline constexpr char kNotRegularFile[] = "%s \x82\xCD\x92\xCA\x8F\xED\x82\xCC\x83t\x83@\x83" "C\x83\x8B\x82\xC5\x82\xCD\x82\xC8\x82\xA2\x82\xCC\x82\xC5\x91\x97\x82\xEA\x82\xDC\x82\xB9\x82\xF1\n";
// '%s は長さが当てにならないので送れません（長さ 0 なのに中身があります）\n': "the length of %s cannot be trusted, so it cannot be sent (its length is 0 but it has contents)"
inline constexpr char kLengthUntrusted[] = "%s \x82\xCD\x92\xB7\x82\xB3\x82\xAA\x93\x96\x82\xC4\x82\xC9\x82\xC8\x82\xE7\x82\xC8\x82\xA2\x82\xCC\x82\xC5\x91\x97\x82\xEA\x82\xDC\x82\xB9\x82\xF1\x81i\x92\xB7\x82\xB3 0 \x82\xC8\x82\xCC\x82\xC9\x92\x86\x90g\x82\xAA\x82\xA0\x82\xE8\x82\xDC\x82\xB7\x81j\n";
// '%s は大きすぎます（-N で送れるのは 4294967279 バイトまで）\n': "%s is too large (at most 4294967279 bytes can be sent with -N)"
inline constexpr char kTooLargeForCount[] = "%s \x82\xCD\x91\xE5\x82\xAB\x82\xB7\x82\xAC\x82\xDC\x82\xB7\x81i-N \x82\xC5\x91\x97\x82\xEA\x82\xE9\x82\xCC\x82\xCD 4294967279 \x83o\x83" "C\x83g\x82\xDC\x82\xC5\x81j\n";
// '\n%s が知らせた長さより前に終わりました（%06lX バイト中 %06lX バイトを送信）\n': "%s ended before the length announced (of %06lX bytes, %06lX sent)"; the device was promised more
inline constexpr char kFileEndedEarly[] = "\n%s \x82\xAA\x92m\x82\xE7\x82\xB9\x82\xBD\x92\xB7\x82\xB3\x82\xE6\x82\xE8\x91O\x82\xC9\x8FI\x82\xED\x82\xE8\x82\xDC\x82\xB5\x82\xBD\x81i%06lX \x83o\x83" "C\x83g\x92\x86 %06lX \x83o\x83" "C\x83g\x82\xF0\x91\x97\x90M\x81j\n";
// '\n%s を読み込めません\n': "cannot read %s"
inline constexpr char kCannotRead[] = "\n%s \x82\xF0\x93\xC7\x82\xDD\x8D\x9E\x82\xDF\x82\xDC\x82\xB9\x82\xF1\n";

// ---- The error stream: why something failed, beside the fixed texts above ----

// '%s は不明なオプションです\n': "%s is not a known option"
inline constexpr char kUnknownOption[] = "%s \x82\xCD\x95s\x96\xBE\x82\xC8\x83I\x83v\x83V\x83\x87\x83\x93\x82\xC5\x82\xB7\n";
// '%s を開けません: %s\n': "cannot open %s: the system's reason"
inline constexpr char kCannotOpenBecause[] = "%s \x82\xF0\x8AJ\x82\xAF\x82\xDC\x82\xB9\x82\xF1: %s\n";
// '%s に書き込めません: %s\n': "cannot write to %s: the system's reason"
inline constexpr char kCannotWriteBecause[] = "%s \x82\xC9\x8F\x91\x82\xAB\x8D\x9E\x82\xDF\x82\xDC\x82\xB9\x82\xF1: %s\n";
// '存在するポート:%s\n': "the ports that do exist, each as its -P argument"
inline constexpr char kPortsThatExist[] = "\x91\xB6\x8D\xDD\x82\xB7\x82\xE9\x83|\x81[\x83g:%s\n";
// 'シリアルポートが見つかりません\n': "no serial port found"
inline constexpr char kNoPortsFound[] = "\x83V\x83\x8A\x83" "A\x83\x8B\x83|\x81[\x83g\x82\xAA\x8C\xA9\x82\xC2\x82\xA9\x82\xE8\x82\xDC\x82\xB9\x82\xF1\n";
// '%s のグループは %s です。ユーザーをこのグループに加えてログインし直してください: %s\n': "%s belongs to group %s; add the user to it and log in again: command"
inline constexpr char kPortGroup[] = "%s \x82\xCC\x83O\x83\x8B\x81[\x83v\x82\xCD %s \x82\xC5\x82\xB7\x81" "B\x83\x86\x81[\x83U\x81[\x82\xF0\x82\xB1\x82\xCC\x83O\x83\x8B\x81[\x83v\x82\xC9\x89\xC1\x82\xA6\x82\xC4\x83\x8D\x83O\x83" "C\x83\x93\x82\xB5\x92\xBC\x82\xB5\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2: %s\n";
// '%s は他のプログラム（プロセス %ld）が使用中です\n': "%s is in use by another program (process %ld)"
inline constexpr char kPortBusyBy[] = "%s \x82\xCD\x91\xBC\x82\xCC\x83v\x83\x8D\x83O\x83\x89\x83\x80\x81i\x83v\x83\x8D\x83Z\x83X %ld\x81j\x82\xAA\x8Eg\x97p\x92\x86\x82\xC5\x82\xB7\n";
// '%s は他のプログラムが使用中です: %s\n': "%s is in use by another program: reason"
inline constexpr char kPortBusy[] = "%s \x82\xCD\x91\xBC\x82\xCC\x83v\x83\x8D\x83O\x83\x89\x83\x80\x82\xAA\x8Eg\x97p\x92\x86\x82\xC5\x82\xB7: %s\n";
// '%s を開けません: %s（他のプログラムが使用中かもしれません）\n': "cannot open %s: reason (another program may be using it)"
inline constexpr char kPortMaybeBusy[] = "%s \x82\xF0\x8AJ\x82\xAF\x82\xDC\x82\xB9\x82\xF1: %s\x81i\x91\xBC\x82\xCC\x83v\x83\x8D\x83O\x83\x89\x83\x80\x82\xAA\x8Eg\x97p\x92\x86\x82\xA9\x82\xE0\x82\xB5\x82\xEA\x82\xDC\x82\xB9\x82\xF1\x81j\n";
// '%s は端末（シリアルポート）ではありません: %s\n': "%s is not a terminal (serial port): reason"
inline constexpr char kPortNotTerminal[] = "%s \x82\xCD\x92[\x96\x96\x81i\x83V\x83\x8A\x83" "A\x83\x8B\x83|\x81[\x83g\x81j\x82\xC5\x82\xCD\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1: %s\n";
// '%s は回線の設定を受け付けません: %s\n': "%s refuses the line settings: reason"
inline constexpr char kPortSettingsRefused[] = "%s \x82\xCD\x89\xF1\x90\xFC\x82\xCC\x90\xDD\x92\xE8\x82\xF0\x8E\xF3\x82\xAF\x95t\x82\xAF\x82\xDC\x82\xB9\x82\xF1: %s\n";
// '%s の回線が失われました: %s\n': "the line of %s was lost (the device stopped answering): reason"
inline constexpr char kLineLostBecause[] = "%s \x82\xCC\x89\xF1\x90\xFC\x82\xAA\x8E\xB8\x82\xED\x82\xEA\x82\xDC\x82\xB5\x82\xBD: %s\n";
// '-P%s は番号でもパスでもありません。%s のように書きます（一覧は --list-ports）\n': "-P%s is neither a number nor a path; write it like %s (--list-ports lists them)"
inline constexpr char kPortHint[] = "-P%s \x82\xCD\x94\xD4\x8D\x86\x82\xC5\x82\xE0\x83p\x83X\x82\xC5\x82\xE0\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1\x81" "B%s \x82\xCC\x82\xE6\x82\xA4\x82\xC9\x8F\x91\x82\xAB\x82\xDC\x82\xB7\x81i\x88\xEA\x97\x97\x82\xCD --list-ports\x81j\n";
// '-P の値が空です。-P と値の間に空白を入れずに %s のように書きます\n': "the -P value is empty; write it without a blank, like %s"
inline constexpr char kPortHintEmpty[] = "-P \x82\xCC\x92l\x82\xAA\x8B\xF3\x82\xC5\x82\xB7\x81" "B-P \x82\xC6\x92l\x82\xCC\x8A\xD4\x82\xC9\x8B\xF3\x94\x92\x82\xF0\x93\xFC\x82\xEA\x82\xB8\x82\xC9 %s \x82\xCC\x82\xE6\x82\xA4\x82\xC9\x8F\x91\x82\xAB\x82\xDC\x82\xB7\n";
// '警告: 最初の 3 バイトが FF FE 4D ではありません（%02X %02X %02X）。装置がヘッダを送っていないかもしれません\n': "warning: the first 3 bytes are not FF FE 4D; the device may not have sent a header"
inline constexpr char kNoHeaderMagic[] = "\x8Cx\x8D\x90: \x8D\xC5\x8F\x89\x82\xCC 3 \x83o\x83" "C\x83g\x82\xAA FF FE 4D \x82\xC5\x82\xCD\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1\x81i%02X %02X %02X\x81j\x81" "B\x91\x95\x92u\x82\xAA\x83w\x83" "b\x83_\x82\xF0\x91\x97\x82\xC1\x82\xC4\x82\xA2\x82\xC8\x82\xA2\x82\xA9\x82\xE0\x82\xB5\x82\xEA\x82\xDC\x82\xB9\x82\xF1\n";
// '%3lu%% %lu / %lu バイト  %lu bit/s  残り %s   ': "progress: percent, bytes of bytes, bit/s achieved, time left; redrawn in place"
inline constexpr char kProgressLine[] = "%3lu%% %lu / %lu \x83o\x83" "C\x83g  %lu bit/s  \x8E" "c\x82\xE8 %s   ";
// '\n%lu バイト  %lu.%lu 秒  実効 %lu bit/s\n': "summary: bytes, seconds, effective bit/s"
inline constexpr char kProgressSummary[] = "\n%lu \x83o\x83" "C\x83g  %lu.%lu \x95" "b  \x8E\xC0\x8C\xF8 %lu bit/s\n";
// '  使用中': "in use"
inline constexpr char kPortListInUse[] = "  \x8Eg\x97p\x92\x86";
// '  使用中（プロセス %ld）': "in use (process %ld)"
inline constexpr char kPortListInUseBy[] = "  \x8Eg\x97p\x92\x86\x81i\x83v\x83\x8D\x83Z\x83X %ld\x81j";
// 'VELTA バージョン %s\n': "VELTA version %s"
inline constexpr char kVersion[] = "VELTA \x83o\x81[\x83W\x83\x87\x83\x93 %s\n";
// '\n長いオプション（どこに置いても同じ）:\n': "long options (anywhere on the command line)"
inline constexpr char kHelpLong1[] = "\n\x92\xB7\x82\xA2\x83I\x83v\x83V\x83\x87\x83\x93\x81i\x82\xC7\x82\xB1\x82\xC9\x92u\x82\xA2\x82\xC4\x82\xE0\x93\xAF\x82\xB6\x81j:\n";
// '         --help          この説明\n': "this text"
inline constexpr char kHelpLong2[] = "         --help          \x82\xB1\x82\xCC\x90\xE0\x96\xBE\n";
// '         --version       バージョン\n': "the version"
inline constexpr char kHelpLong3[] = "         --version       \x83o\x81[\x83W\x83\x87\x83\x93\n";
// '         --list-ports    シリアルポートの一覧（各行の先頭が -P の指定）\n': "the serial ports, each line led by its -P argument"
inline constexpr char kHelpLong4[] = "         --list-ports    \x83V\x83\x8A\x83" "A\x83\x8B\x83|\x81[\x83g\x82\xCC\x88\xEA\x97\x97\x81i\x8A" "e\x8Ds\x82\xCC\x90\xE6\x93\xAA\x82\xAA -P \x82\xCC\x8Ew\x92\xE8\x81j\n";
// '         --progress      進み具合・速度・残り時間を標準エラーに表示\n': "progress, speed and time left on the error stream"
inline constexpr char kHelpLong5[] = "         --progress      \x90i\x82\xDD\x8B\xEF\x8D\x87\x81" "E\x91\xAC\x93x\x81" "E\x8E" "c\x82\xE8\x8E\x9E\x8A\xD4\x82\xF0\x95W\x8F\x80\x83G\x83\x89\x81[\x82\xC9\x95\x5C\x8E\xA6\n";
// '         --exit-status   結果を終了ステータスで返す:\n': "the result as the exit status"
inline constexpr char kHelpLong6[] = "         --exit-status   \x8C\x8B\x89\xCA\x82\xF0\x8FI\x97\xB9\x83X\x83" "e\x81[\x83^\x83X\x82\xC5\x95\xD4\x82\xB7:\n";
// '                           0 完了  2 利用者による中断  3 ポートを開けない\n': "0 complete, 2 interrupted by the user, 3 port could not be opened"
inline constexpr char kHelpLong7[] = "                           0 \x8A\xAE\x97\xB9  2 \x97\x98\x97p\x8E\xD2\x82\xC9\x82\xE6\x82\xE9\x92\x86\x92" "f  3 \x83|\x81[\x83g\x82\xF0\x8AJ\x82\xAF\x82\xC8\x82\xA2\n";
// '                           4 ファイルを開けない・読めない・書けない\n': "4 file could not be opened, read or written"
inline constexpr char kHelpLong8[] = "                           4 \x83t\x83@\x83" "C\x83\x8B\x82\xF0\x8AJ\x82\xAF\x82\xC8\x82\xA2\x81" "E\x93\xC7\x82\xDF\x82\xC8\x82\xA2\x81" "E\x8F\x91\x82\xAF\x82\xC8\x82\xA2\n";
// '                           5 送信前にファイルを拒否  6 回線の切断・不正なヘッダ\n': "5 file refused before sending, 6 line lost or bad header"
inline constexpr char kHelpLong9[] = "                           5 \x91\x97\x90M\x91O\x82\xC9\x83t\x83@\x83" "C\x83\x8B\x82\xF0\x8B\x91\x94\xDB  6 \x89\xF1\x90\xFC\x82\xCC\x90\xD8\x92" "f\x81" "E\x95s\x90\xB3\x82\xC8\x83w\x83" "b\x83_\n";
// '                           なしでは従来どおり: 1、コマンドラインの誤りは 255\n': "without it as always: 1, a command-line error 255"
inline constexpr char kHelpLong10[] = "                           \x82\xC8\x82\xB5\x82\xC5\x82\xCD\x8F]\x97\x88\x82\xC7\x82\xA8\x82\xE8: 1\x81" "A\x83R\x83}\x83\x93\x83h\x83\x89\x83" "C\x83\x93\x82\xCC\x8C\xEB\x82\xE8\x82\xCD 255\n";

// ---- --stdio: the port on standard input and output ----

// '--stdio: 標準入力または標準出力が端末ではありません（ファイルやパイプはシリアル回線になりません）\n': "standard input or output is not a terminal (a file or pipe is no serial line)"
inline constexpr char kStdioNotTerminal[] = "--stdio: \x95W\x8F\x80\x93\xFC\x97\xCD\x82\xDC\x82\xBD\x82\xCD\x95W\x8F\x80\x8Fo\x97\xCD\x82\xAA\x92[\x96\x96\x82\xC5\x82\xCD\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1\x81i\x83t\x83@\x83" "C\x83\x8B\x82\xE2\x83p\x83" "C\x83v\x82\xCD\x83V\x83\x8A\x83" "A\x83\x8B\x89\xF1\x90\xFC\x82\xC9\x82\xC8\x82\xE8\x82\xDC\x82\xB9\x82\xF1\x81j\n";
// '--stdio は Windows では使えません\n': "--stdio is not available on Windows"
inline constexpr char kStdioUnsupported[] = "--stdio \x82\xCD Windows \x82\xC5\x82\xCD\x8Eg\x82\xA6\x82\xDC\x82\xB9\x82\xF1\n";
// '-B%d は使いません: 回線は %dbps に設定されています\n': "-B%d is not used: the line is set to %d bps"
inline constexpr char kStdioRateDiffers[] = "-B%d \x82\xCD\x8Eg\x82\xA2\x82\xDC\x82\xB9\x82\xF1: \x89\xF1\x90\xFC\x82\xCD %dbps \x82\xC9\x90\xDD\x92\xE8\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB7\n";
// '         --stdio         標準入力と標準出力をポートとして使う（picocom、minicom の中で）\n': "--help: standard input and output as the port (inside picocom, minicom)"
inline constexpr char kHelpStdio[] = "         --stdio         \x95W\x8F\x80\x93\xFC\x97\xCD\x82\xC6\x95W\x8F\x80\x8Fo\x97\xCD\x82\xF0\x83|\x81[\x83g\x82\xC6\x82\xB5\x82\xC4\x8Eg\x82\xA4\x81ipicocom\x81" "Aminicom \x82\xCC\x92\x86\x82\xC5\x81j\n";
