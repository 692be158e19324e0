// Every console text of the program, as the CP932 bytes that go to the
// console. They live here and nowhere else, so that a text is changed in one
// place and tests compare against the same bytes the program prints. Each
// comment gives the text as characters and what it says.
#pragma once

// Everything else the program prints (the long options in --help, the error
// stream, the progress line) speaks the user's language: see messages.def.
#include "messages.h"

// The ASCII texts, each with what it says.
inline constexpr char kBanner2[] = "Moves one file over a serial port to or from a program loader\n\n";  // banner, line 2
inline constexpr char kOpenFailed[] = "OpenConnection failed.\n";  // the port did not open (why: error stream)
inline constexpr char kSendHeaderLine[] = "load addr:%02X%02X run addr:%02X%02X size:%06lX\n";  // header to send
inline constexpr char kReceiveHeaderLine[] = "load addr:%04X run addr:%04X size:%06lX\n";  // header received
inline constexpr char kSendTextLine[] = "Text mode. size:%06lX\n";  // text to send, size up to its end byte
// Text received; 16 blanks after the period wipe the rest of the reception prompt.
inline constexpr char kReceiveTextLine[] = "\rText mode.                \n";
inline constexpr char kHeaderByteWriting[] = "W\r";  // a header byte being written
inline constexpr char kHeaderByteSent[] = "S\r";     // that byte sent
inline constexpr char kSendFrame[] = "\r|----------|\r|";  // a send's empty bar of ten tenths
inline constexpr char kReceiveFrame[] = "|----------|\r|";  // a reception's, after the header line
inline constexpr char kProgressMark[] = "o";              // one tenth done

// 'File Transfer Utility ｢VELTA｣ Version 1.05/Win32\n': first banner line; the corner brackets are half-width, one byte each
inline constexpr char kBanner[] = "File Transfer Utility \xA2VELTA\xA3 Version 1.05/Win32\n";
// The usage text, its lines printed in this order.
inline constexpr const char* kUsage[] = {
    // 'Usage : VELTA filename [option]\n\n': how to call the program
    "Usage : VELTA filename [option]\n\n",
    // 'option : -Sxxxx    格納開始アドレス（１６進数）\n': "storage start address (hexadecimal)"
    "option : -Sxxxx    \x8Ai\x94[\x8AJ\x8En\x83" "A\x83h\x83\x8C\x83X\x81i\x82P\x82U\x90i\x90\x94\x81j\n",
    // '         -MR       ファイル受信\n': "receive a file"
    "         -MR       \x83t\x83@\x83" "C\x83\x8B\x8E\xF3\x90M\n",
    // '         -MS       ファイル送信\n': "send a file"
    "         -MS       \x83t\x83@\x83" "C\x83\x8B\x91\x97\x90M\n",
    // '         -Bxxxx    転送速度（300～38400）\n': "transfer speed (300 to 38400)"
    "         -Bxxxx    \x93]\x91\x97\x91\xAC\x93x\x81i300\x81`38400\x81j\n",
    // '         -N        ヘッダを付加しない\n': "do not add the header"
    "         -N        \x83w\x83" "b\x83_\x82\xF0\x95t\x89\xC1\x82\xB5\x82\xC8\x82\xA2\n",
    // '         -T        テキストモード\n': "text mode"
    "         -T        \x83" "e\x83L\x83X\x83g\x83\x82\x81[\x83h\n",
    // '         -Px       ポート\n': "port"
    "         -Px       \x83|\x81[\x83g\n",
    // '         -Fx       フロー制御(0:なし,1:ハード,2:ソフト)\n': "flow control (0 none, 1 hardware, 2 software)"; the second byte of ソ is 0x5C
    "         -Fx       \x83t\x83\x8D\x81[\x90\xA7\x8C\xE4(0:\x82\xC8\x82\xB5,1:\x83n\x81[\x83h,2:\x83\x5C\x83t\x83g)\n",
};
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
// '\n%s が知らせた長さより前に終わりました（%lu バイト中 %lu バイトを送信）\n': "%s ended before the length announced (of %lu bytes, %lu sent)"; the device was promised more
inline constexpr char kFileEndedEarly[] = "\n%s \x82\xAA\x92m\x82\xE7\x82\xB9\x82\xBD\x92\xB7\x82\xB3\x82\xE6\x82\xE8\x91O\x82\xC9\x8FI\x82\xED\x82\xE8\x82\xDC\x82\xB5\x82\xBD\x81i%lu \x83o\x83" "C\x83g\x92\x86 %lu \x83o\x83" "C\x83g\x82\xF0\x91\x97\x90M\x81j\n";
// '\n%s を読み込めません\n': "cannot read %s"
inline constexpr char kCannotRead[] = "\n%s \x82\xF0\x93\xC7\x82\xDD\x8D\x9E\x82\xDF\x82\xDC\x82\xB9\x82\xF1\n";


// The long options of --help, after the usage text and the defaults, in
// this order; their texts are messages of the catalogue (messages.def).
inline constexpr const char* kHelpLong[] = {kHelpLong1, kHelpLong2, kHelpLong3, kHelpLong4,
                                            kHelpLong5, kHelpStdio, kHelpLong6, kHelpLong7,
                                            kHelpLong8, kHelpLong9, kHelpLong10};
