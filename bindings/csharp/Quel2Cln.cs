// quel2cln for C# (.NET Framework, .NET and Mono).
//
// Quel2Cln.Native is the raw layer: the eight functions under their own
// names, stdcall, every result one byte wide, every text a NUL-terminated
// byte[] and every buffer the library writes a byte[], the bool* outs as
// "out byte". Marshalling a string would convert it with the platform's
// default (the ANSI code page or UTF-8), so the bytes are left to the caller.
//
// Quel2Cln.Client is the wrapper: string texts encoded with its Encoding
// (Windows-1252 unless set: the code page docs/protocol.md names for
// texts), and a Quel2ClnException with the last error for a result false.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Quel2Cln
{
    public static class Native
    {
        // "quel2cln" finds quel2cln.dll on Windows and libquel2cln.so on
        // Linux. 32-bit Windows is the one platform where stdcall differs
        // from the C convention.
        const string Library = "quel2cln";

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool qm2_Init(byte[] host, int port);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool qm2_Done();

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool qm2_LastError([Out] byte[] buffer, uint length);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool qm2_ExecSQL(byte[] text1, byte[] text2, byte[] text3);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool qm2_GetAutoInc(byte[] text1, byte[] text2, byte[] text3,
                                                 out byte no_value, out uint value);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool qm2_CalcAutoInc(byte[] text1, byte[] text2, byte[] text3,
                                                  byte[] field_list, out uint value);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool qm2_SaveResult(byte[] text1, byte[] text2, byte[] text3,
                                                 byte[] text4, byte[] text5);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool qm2_Lock(byte[] text1, byte[] text2, int lock_mode, byte[] text4,
                                           uint number, out byte lock_result,
                                           [Out] byte[] reply_text, uint reply_text_len);

        // The length to pass with a buffer: the library writes up to
        // length + 1 bytes, the text and its terminator.
        public static uint TextLength(byte[] buffer)
        {
            return (uint)buffer.Length - 1;
        }

        // text as NUL-terminated bytes in encoding; null stays null (the
        // library takes it as the empty text).
        public static byte[] Text(string text, Encoding encoding)
        {
            if (text == null) return null;
            byte[] bytes = new byte[encoding.GetByteCount(text) + 1];
            encoding.GetBytes(text, 0, text.Length, bytes, 0);
            return bytes;
        }

        // The text in a buffer the library wrote, up to its NUL.
        public static string FromBuffer(byte[] buffer, Encoding encoding)
        {
            int end = Array.IndexOf(buffer, (byte)0);
            return encoding.GetString(buffer, 0, end < 0 ? buffer.Length : end);
        }
    }

    public class Quel2ClnException : Exception
    {
        public Quel2ClnException(string lastError) : base(lastError) { }
    }

    public struct LockAnswer
    {
        public bool LockResult;
        public string Text;  // mode 0, when LockResult is false: the reason
    }

    // The wrapper. Every call holds one lock shared by all clients of the
    // process, as the library allows one caller at a time.
    public sealed class Client : IDisposable
    {
        static readonly object Gate = new object();
        public Encoding Encoding { get; set; }

        // qm2_Init: a null or empty host means "localhost", a port below 1
        // means 85.
        public Client(string host, int port) : this(host, port, new Windows1252Encoding()) { }

        public Client(string host, int port, Encoding encoding)
        {
            Encoding = encoding;
            lock (Gate) Check(Native.qm2_Init(B(host), port));
        }

        // qm2_Done.
        public void Dispose()
        {
            lock (Gate) Native.qm2_Done();
        }

        byte[] B(string text) { return Native.Text(text, Encoding); }

        // Called with the lock held.
        void Check(bool ok)
        {
            if (!ok) throw new Quel2ClnException(ReadLastError(4096));
        }

        string ReadLastError(uint maxBytes)
        {
            byte[] buffer = new byte[maxBytes + 1];
            if (!Native.qm2_LastError(buffer, Native.TextLength(buffer))) return "";
            return Native.FromBuffer(buffer, Encoding);
        }

        // The last error cut to maxBytes bytes; "" when none is recorded.
        public string LastError(uint maxBytes = 4096)
        {
            lock (Gate) return ReadLastError(maxBytes);
        }

        public void ExecSQL(string text1, string text2, string text3)
        {
            lock (Gate) Check(Native.qm2_ExecSQL(B(text1), B(text2), B(text3)));
        }

        // The next value, or null when the server has none.
        public uint? GetAutoInc(string text1, string text2, string text3)
        {
            byte noValue;
            uint value;
            lock (Gate) Check(Native.qm2_GetAutoInc(B(text1), B(text2), B(text3), out noValue, out value));
            return noValue != 0 ? (uint?)null : value;
        }

        // fieldList like "id: 1, code: 2".
        public uint CalcAutoInc(string text1, string text2, string text3, string fieldList)
        {
            uint value;
            lock (Gate) Check(Native.qm2_CalcAutoInc(B(text1), B(text2), B(text3), B(fieldList), out value));
            return value;
        }

        public void SaveResult(string text1, string text2, string text3, string text4, string text5)
        {
            lock (Gate) Check(Native.qm2_SaveResult(B(text1), B(text2), B(text3), B(text4), B(text5)));
        }

        // mode -1 releases, 0 takes, 1 checks; the reason is cut to maxText
        // bytes.
        public LockAnswer Lock(string text1, string text2, int mode, string text4, uint number,
                               uint maxText = 4096)
        {
            byte[] buffer = new byte[maxText + 1];
            byte result;
            lock (Gate)
                Check(Native.qm2_Lock(B(text1), B(text2), mode, B(text4), number, out result, buffer,
                                      Native.TextLength(buffer)));
            return new LockAnswer { LockResult = result != 0, Text = Native.FromBuffer(buffer, Encoding) };
        }
    }

    // Windows-1252, built in: .NET (Core) and Mono without their extra
    // code-page assemblies have no code page 1252. A character it cannot
    // hold becomes "?".
    public sealed class Windows1252Encoding : Encoding
    {
        static readonly char[] High = {
            '\u20AC', '\0', '\u201A', '\u0192', '\u201E', '\u2026', '\u2020', '\u2021',
            '\u02C6', '\u2030', '\u0160', '\u2039', '\u0152', '\0', '\u017D', '\0',
            '\0', '\u2018', '\u2019', '\u201C', '\u201D', '\u2022', '\u2013', '\u2014',
            '\u02DC', '\u2122', '\u0161', '\u203A', '\u0153', '\0', '\u017E', '\u0178' };

        public override string WebName { get { return "windows-1252"; } }
        public override int GetByteCount(char[] chars, int index, int count) { return count; }
        public override int GetMaxByteCount(int charCount) { return charCount; }
        public override int GetCharCount(byte[] bytes, int index, int count) { return count; }
        public override int GetMaxCharCount(int byteCount) { return byteCount; }

        public override int GetBytes(char[] chars, int charIndex, int charCount, byte[] bytes, int byteIndex)
        {
            for (int i = 0; i < charCount; ++i) bytes[byteIndex + i] = ToByte(chars[charIndex + i]);
            return charCount;
        }

        public override int GetChars(byte[] bytes, int byteIndex, int byteCount, char[] chars, int charIndex)
        {
            for (int i = 0; i < byteCount; ++i)
            {
                byte b = bytes[byteIndex + i];
                char high = b >= 0x80 && b <= 0x9F ? High[b - 0x80] : '\0';
                chars[charIndex + i] = high != '\0' ? high : (char)b;
            }
            return byteCount;
        }

        static byte ToByte(char c)
        {
            if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return (byte)c;
            int at = Array.IndexOf(High, c);
            return at >= 0 && c != '\0' ? (byte)(0x80 + at) : (byte)'?';
        }
    }
}
