Attribute VB_Name = "Quel2Cln"
' quel2cln for VB6 and VBA (32-bit Office only: 64-bit Office cannot load a
' 32-bit DLL).
'
' The Declare statements are the raw layer, as quel2cln.h declares the
' functions. Every result is declared As Byte: the library returns a
' one-byte bool, 1 for success, and a VB Boolean is True only for -1, so
' "If Not qm2_Init(...)" on a Boolean result would take the wrong branch.
' Compare the Byte with 0, or use the wrappers below, which return a real
' Boolean.
'
' Texts go ByVal As String: VB hands the DLL a copy converted to the ANSI
' code page of the machine, and copies a written buffer back. A buffer must
' hold length + 1 characters: Qm2Buffer(n) makes one for n text bytes.
'
' Not compiled here (no VB6 or Office on the build machines): the Declare
' statements are checked against quel2cln.h by check_declarations.py.
'
' quel2cln.dll must be beside the host's executable (for VBA: beside the
' Office program, or on the PATH), or loaded by full path before the first
' call.
Option Explicit

Public Declare Function qm2_Init Lib "quel2cln.dll" (ByVal host As String, ByVal port As Long) As Byte
Public Declare Function qm2_Done Lib "quel2cln.dll" () As Byte
Public Declare Function qm2_LastError Lib "quel2cln.dll" (ByVal buffer As String, _
    ByVal length As Long) As Byte
Public Declare Function qm2_ExecSQL Lib "quel2cln.dll" (ByVal text1 As String, _
    ByVal text2 As String, ByVal text3 As String) As Byte
Public Declare Function qm2_GetAutoInc Lib "quel2cln.dll" (ByVal text1 As String, _
    ByVal text2 As String, ByVal text3 As String, ByRef no_value As Byte, _
    ByRef value As Long) As Byte
Public Declare Function qm2_CalcAutoInc Lib "quel2cln.dll" (ByVal text1 As String, _
    ByVal text2 As String, ByVal text3 As String, ByVal field_list As String, _
    ByRef value As Long) As Byte
Public Declare Function qm2_SaveResult Lib "quel2cln.dll" (ByVal text1 As String, _
    ByVal text2 As String, ByVal text3 As String, ByVal text4 As String, _
    ByVal text5 As String) As Byte
Public Declare Function qm2_Lock Lib "quel2cln.dll" (ByVal text1 As String, _
    ByVal text2 As String, ByVal lock_mode As Long, ByVal text4 As String, _
    ByVal number As Long, ByRef lock_result As Byte, ByVal reply_text As String, _
    ByVal reply_text_len As Long) As Byte

' A buffer for up to maxBytes text bytes and the terminator.
Public Function Qm2Buffer(ByVal maxBytes As Long) As String
    Qm2Buffer = String$(maxBytes + 1, vbNullChar)
End Function

' The text in a buffer the library wrote, up to its terminator.
Public Function Qm2FromBuffer(ByVal buffer As String) As String
    Dim nul As Long
    nul = InStr(buffer, vbNullChar)
    If nul = 0 Then Qm2FromBuffer = buffer Else Qm2FromBuffer = Left$(buffer, nul - 1)
End Function

' The wrappers: Boolean results, True on success.

Public Function Qm2Init(ByVal host As String, ByVal port As Long) As Boolean
    Qm2Init = qm2_Init(host, port) <> 0
End Function

Public Function Qm2Done() As Boolean
    Qm2Done = qm2_Done() <> 0
End Function

' The last error, cut to 4096 bytes; "" when none is recorded.
Public Function Qm2LastError() As String
    Dim buffer As String
    buffer = Qm2Buffer(4096)
    If qm2_LastError(buffer, 4096) <> 0 Then Qm2LastError = Qm2FromBuffer(buffer)
End Function

Public Function Qm2ExecSQL(ByVal text1 As String, ByVal text2 As String, _
    ByVal text3 As String) As Boolean
    Qm2ExecSQL = qm2_ExecSQL(text1, text2, text3) <> 0
End Function

' noValue: True when the server has no value; value is then 0. The value
' is unsigned: above 2147483647 it shows as a negative Long.
Public Function Qm2GetAutoInc(ByVal text1 As String, ByVal text2 As String, _
    ByVal text3 As String, ByRef noValue As Boolean, ByRef value As Long) As Boolean
    Dim flag As Byte
    Qm2GetAutoInc = qm2_GetAutoInc(text1, text2, text3, flag, value) <> 0
    If Qm2GetAutoInc Then noValue = flag <> 0
End Function

' fieldList like "id: 1, code: 2".
Public Function Qm2CalcAutoInc(ByVal text1 As String, ByVal text2 As String, _
    ByVal text3 As String, ByVal fieldList As String, ByRef value As Long) As Boolean
    Qm2CalcAutoInc = qm2_CalcAutoInc(text1, text2, text3, fieldList, value) <> 0
End Function

Public Function Qm2SaveResult(ByVal text1 As String, ByVal text2 As String, _
    ByVal text3 As String, ByVal text4 As String, ByVal text5 As String) As Boolean
    Qm2SaveResult = qm2_SaveResult(text1, text2, text3, text4, text5) <> 0
End Function

' mode -1 releases, 0 takes, 1 checks. In mode 0, when lockResult is False,
' replyText receives the server's reason, cut to 4096 bytes.
Public Function Qm2Lock(ByVal text1 As String, ByVal text2 As String, _
    ByVal mode As Long, ByVal text4 As String, ByVal number As Long, _
    ByRef lockResult As Boolean, ByRef replyText As String) As Boolean
    Dim flag As Byte
    Dim buffer As String
    buffer = Qm2Buffer(4096)
    Qm2Lock = qm2_Lock(text1, text2, mode, text4, number, flag, buffer, 4096) <> 0
    If Qm2Lock Then
        lockResult = flag <> 0
        replyText = Qm2FromBuffer(buffer)
    End If
End Function

' The whole sequence, as the other languages' examples run it; the lines go
' to the Immediate window.
Public Sub Qm2Example(ByVal host As String, ByVal port As Long)
    Dim noValue As Boolean, lockResult As Boolean
    Dim value As Long
    Dim text As String
    If Not Qm2Init(host, port) Then Debug.Print "init: failed: "; Qm2LastError(): Exit Sub
    Debug.Print "init: ok"
    If Qm2ExecSQL("shop", "SELECT 'Gr" & ChrW$(&HFC) & ChrW$(&HDF) & "e " & ChrW$(&H20AC) & "'", "bindings") Then _
        Debug.Print "exec: ok"
    If Qm2GetAutoInc("shop", "orders", "id", noValue, value) Then _
        Debug.Print "get-auto-inc: no_value="; LCase$(CStr(noValue)); " value="; CStr(value)
    If Qm2CalcAutoInc("shop", "orders", "id", "year: 2026, branch: 7", value) Then _
        Debug.Print "calc-auto-inc: value="; CStr(value)
    If Qm2SaveResult("shop", "nightly", "done", "3 rows", "bindings") Then Debug.Print "save-result: ok"
    If Not Qm2ExecSQL("shop", "DROP TABLE orders", "bindings") Then Debug.Print "refused: "; Qm2LastError()
    If Qm2Lock("shop", "invoice-1001", -1, "bindings", 7, lockResult, text) Then _
        Debug.Print "lock -1: lock_result="; LCase$(CStr(lockResult))
    If Qm2Lock("shop", "invoice-1001", 0, "bindings", 7, lockResult, text) Then _
        Debug.Print "lock 0: lock_result="; LCase$(CStr(lockResult)); " text="; text
    If Qm2Lock("shop", "invoice-1001", 1, "bindings", 7, lockResult, text) Then _
        Debug.Print "lock 1: lock_result="; LCase$(CStr(lockResult))
    If Not Qm2Lock("shop", "invoice-1001", 2, "bindings", 7, lockResult, text) Then _
        Debug.Print "lock 2: "; Qm2LastError()
    If Qm2Done() Then Debug.Print "done: ok"
End Sub
