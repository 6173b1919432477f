{ quel2cln for Delphi (7 and later) and Free Pascal.

  Raw layer: the eight functions as quel2cln.h declares them, with
  PAnsiChar texts, pointers for the outs and Boolean (one byte) results;
  stdcall on 32-bit Windows, cdecl elsewhere.

  Wrapper: TQm2Client, which takes Unicode strings, encodes them with the
  code page of its Encoding property (Windows-1252 unless set, the code page
  docs/protocol.md names for texts), and raises EQm2Error with the last
  error when a call returns False.

  Text buffers follow the library's rule: a length n means up to n + 1 bytes
  written, so pass Qm2TextLength(SizeOf(Buffer)). }
unit Quel2Cln;

{$IFDEF FPC}
  {$MODE DELPHI}
  {$H+}
{$ENDIF}

{ 32-bit Windows: stdcall. Elsewhere there is one C convention. WIN32 is
  defined by Delphi and Free Pascal for 32-bit Windows only. }
{$IFDEF WIN32}
  {$DEFINE QM2_STDCALL}
{$ENDIF}

{ Unicode strings: UnicodeString where the compiler has it, WideString in
  Delphi 7 to 2007. }
{$IFDEF FPC}
  {$DEFINE QM2_UNICODESTRING}
{$ELSE}
  {$IF CompilerVersion >= 20}
    {$DEFINE QM2_UNICODESTRING}
  {$IFEND}
{$ENDIF}

interface

uses
  SysUtils;

const
{$IFDEF MSWINDOWS}
  Quel2ClnLibrary = 'quel2cln.dll';
{$ELSE}
  Quel2ClnLibrary = 'quel2cln';
{$ENDIF}
  CP_WINDOWS_1252 = 1252;
  CP_UTF_8 = 65001;

type
  PQm2Bool = ^Boolean;
  PQm2UInt = ^Cardinal;
{$IFDEF QM2_UNICODESTRING}
  TQm2String = UnicodeString;
{$ELSE}
  TQm2String = WideString;
{$ENDIF}

{ The raw layer. }
function qm2_Init(host: PAnsiChar; port: Integer): Boolean;
  {$IFDEF QM2_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Quel2ClnLibrary;
function qm2_Done: Boolean;
  {$IFDEF QM2_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Quel2ClnLibrary;
function qm2_LastError(buffer: PAnsiChar; length: Cardinal): Boolean;
  {$IFDEF QM2_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Quel2ClnLibrary;
function qm2_ExecSQL(text1, text2, text3: PAnsiChar): Boolean;
  {$IFDEF QM2_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Quel2ClnLibrary;
function qm2_GetAutoInc(text1, text2, text3: PAnsiChar; no_value: PQm2Bool;
  value: PQm2UInt): Boolean;
  {$IFDEF QM2_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Quel2ClnLibrary;
function qm2_CalcAutoInc(text1, text2, text3, field_list: PAnsiChar;
  value: PQm2UInt): Boolean;
  {$IFDEF QM2_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Quel2ClnLibrary;
function qm2_SaveResult(text1, text2, text3, text4, text5: PAnsiChar): Boolean;
  {$IFDEF QM2_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Quel2ClnLibrary;
function qm2_Lock(text1, text2: PAnsiChar; lock_mode: Integer; text4: PAnsiChar;
  number: Cardinal; lock_result: PQm2Bool; reply_text: PAnsiChar;
  reply_text_len: Cardinal): Boolean;
  {$IFDEF QM2_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Quel2ClnLibrary;

{ The length to pass with a text buffer of Size bytes. }
function Qm2TextLength(Size: Cardinal): Cardinal;
{ S as the bytes the server expects, in CodePage (1252 or 65001; other code
  pages through the run-time library where it has Unicode strings). }
function Qm2Bytes(const S: TQm2String; CodePage: Word = CP_WINDOWS_1252): AnsiString;
{ Bytes in CodePage back to a string. }
function Qm2Decode(const Bytes: AnsiString; CodePage: Word = CP_WINDOWS_1252): TQm2String;
{ The last error as bytes, cut to MaxBytes; empty when none is recorded. }
function Qm2LastErrorBytes(MaxBytes: Cardinal = 4096): AnsiString;
{ The last error as a string, decoded from CodePage. }
function Qm2LastError(MaxBytes: Cardinal = 4096; CodePage: Word = CP_WINDOWS_1252): TQm2String;

type
  EQm2Error = class(Exception);

  TQm2LockAnswer = record
    LockResult: Boolean;
    Text: TQm2String;  { mode 0, when LockResult is False: the reason }
  end;

  { The wrapper. The library allows one caller at a time: do not share it
    between threads without a lock of your own. }
  TQm2Client = class
  private
    FEncoding: Word;
    function B(const S: TQm2String): AnsiString;
    procedure Check(Ok: Boolean);
  public
    { qm2_Init; an empty host means "localhost", a port below 1 means 85. }
    constructor Create(const Host: TQm2String; Port: Integer;
      Encoding: Word = CP_WINDOWS_1252);
    { qm2_Done. }
    destructor Destroy; override;
    procedure ExecSQL(const Text1, Text2, Text3: TQm2String);
    { Returns False when the server has no value, else True and Value. }
    function GetAutoInc(const Text1, Text2, Text3: TQm2String; out Value: Cardinal): Boolean;
    function CalcAutoInc(const Text1, Text2, Text3, FieldList: TQm2String): Cardinal;
    procedure SaveResult(const Text1, Text2, Text3, Text4, Text5: TQm2String);
    { Mode -1 releases, 0 takes, 1 checks; the reason is cut to MaxText bytes. }
    function Lock(const Text1, Text2: TQm2String; Mode: Integer; const Text4: TQm2String;
      Number: Cardinal; MaxText: Cardinal = 4096): TQm2LockAnswer;
    function LastError(MaxBytes: Cardinal = 4096): TQm2String;
    property Encoding: Word read FEncoding write FEncoding;
  end;

implementation

const
  { Windows-1252 bytes $80 to $9F; 0 marks the five bytes it leaves out. }
  Cp1252High: array[$80..$9F] of Word = (
    $20AC, 0, $201A, $0192, $201E, $2026, $2020, $2021,
    $02C6, $2030, $0160, $2039, $0152, 0, $017D, 0,
    0, $2018, $2019, $201C, $201D, $2022, $2013, $2014,
    $02DC, $2122, $0161, $203A, $0153, 0, $017E, $0178);

function Qm2TextLength(Size: Cardinal): Cardinal;
begin
  Result := Size - 1;
end;

function Cp1252Byte(C: Word): Byte;
var
  I: Integer;
begin
  if (C < $80) or ((C >= $A0) and (C <= $FF)) then
  begin
    Result := Byte(C);
    Exit;
  end;
  for I := Low(Cp1252High) to High(Cp1252High) do
    if (Cp1252High[I] <> 0) and (Cp1252High[I] = C) then
    begin
      Result := Byte(I);
      Exit;
    end;
  Result := Ord('?');
end;

function Utf8Bytes(const S: TQm2String): AnsiString;
var
  I, N: Integer;
  C: Cardinal;

  procedure Add(B: Cardinal);
  begin
    Inc(N);
    Result[N] := AnsiChar(Byte(B));
  end;

begin
  SetLength(Result, Length(S) * 3);
  N := 0;
  I := 1;
  while I <= Length(S) do
  begin
    C := Ord(S[I]);
    if (C >= $D800) and (C <= $DBFF) and (I < Length(S)) and
       (Ord(S[I + 1]) >= $DC00) and (Ord(S[I + 1]) <= $DFFF) then
    begin
      C := $10000 + ((C - $D800) shl 10) + (Cardinal(Ord(S[I + 1])) - $DC00);
      Inc(I);
    end;
    if C < $80 then
      Add(C)
    else if C < $800 then
    begin
      Add($C0 or (C shr 6));
      Add($80 or (C and $3F));
    end
    else if C < $10000 then
    begin
      Add($E0 or (C shr 12));
      Add($80 or ((C shr 6) and $3F));
      Add($80 or (C and $3F));
    end
    else
    begin
      Add($F0 or (C shr 18));
      Add($80 or ((C shr 12) and $3F));
      Add($80 or ((C shr 6) and $3F));
      Add($80 or (C and $3F));
    end;
    Inc(I);
  end;
  SetLength(Result, N);
end;

function Qm2Bytes(const S: TQm2String; CodePage: Word): AnsiString;
var
  I: Integer;
{$IFDEF QM2_UNICODESTRING}
  R: RawByteString;
{$ENDIF}
begin
  case CodePage of
    CP_WINDOWS_1252:
      begin
        SetLength(Result, Length(S));
        for I := 1 to Length(S) do
          Result[I] := AnsiChar(Cp1252Byte(Ord(S[I])));
      end;
    CP_UTF_8:
      Result := Utf8Bytes(S);
  else
{$IFDEF QM2_UNICODESTRING}
    R := RawByteString(UTF8Encode(S));
    SetCodePage(R, CodePage, True);
    SetLength(Result, Length(R));
    if Length(R) > 0 then
      Move(R[1], Result[1], Length(R));
{$ELSE}
    raise EQm2Error.Create('code page not supported');
{$ENDIF}
  end;
end;

function Qm2Decode(const Bytes: AnsiString; CodePage: Word): TQm2String;
var
  I: Integer;
  C: Byte;
{$IFDEF QM2_UNICODESTRING}
  R: RawByteString;
{$ENDIF}
begin
  if CodePage = CP_WINDOWS_1252 then
  begin
    SetLength(Result, Length(Bytes));
    for I := 1 to Length(Bytes) do
    begin
      C := Byte(Bytes[I]);
      if (C >= $80) and (C <= $9F) and (Cp1252High[C] <> 0) then
        Result[I] := WideChar(Cp1252High[C])
      else
        Result[I] := WideChar(C);
    end;
    Exit;
  end;
  if CodePage = CP_UTF_8 then
  begin
    Result := UTF8Decode(Bytes);
    Exit;
  end;
{$IFDEF QM2_UNICODESTRING}
  R := Bytes;
  SetCodePage(R, CodePage, False);
  Result := UnicodeString(R);
{$ELSE}
  raise EQm2Error.Create('code page not supported');
{$ENDIF}
end;

function Qm2LastErrorBytes(MaxBytes: Cardinal): AnsiString;
var
  Buffer: AnsiString;
begin
  SetLength(Buffer, MaxBytes + 1);
  if not qm2_LastError(PAnsiChar(Buffer), Qm2TextLength(MaxBytes + 1)) then
    Result := ''
  else
    Result := PAnsiChar(Buffer);
end;

function Qm2LastError(MaxBytes: Cardinal; CodePage: Word): TQm2String;
begin
  Result := Qm2Decode(Qm2LastErrorBytes(MaxBytes), CodePage);
end;

{ TQm2Client }

constructor TQm2Client.Create(const Host: TQm2String; Port: Integer; Encoding: Word);
begin
  inherited Create;
  FEncoding := Encoding;
  Check(qm2_Init(PAnsiChar(B(Host)), Port));
end;

destructor TQm2Client.Destroy;
begin
  qm2_Done;
  inherited Destroy;
end;

function TQm2Client.B(const S: TQm2String): AnsiString;
begin
  Result := Qm2Bytes(S, FEncoding);
end;

procedure TQm2Client.Check(Ok: Boolean);
begin
  if not Ok then
    raise EQm2Error.Create(string(LastError));
end;

function TQm2Client.LastError(MaxBytes: Cardinal): TQm2String;
begin
  Result := Qm2LastError(MaxBytes, FEncoding);
end;

procedure TQm2Client.ExecSQL(const Text1, Text2, Text3: TQm2String);
begin
  Check(qm2_ExecSQL(PAnsiChar(B(Text1)), PAnsiChar(B(Text2)), PAnsiChar(B(Text3))));
end;

function TQm2Client.GetAutoInc(const Text1, Text2, Text3: TQm2String;
  out Value: Cardinal): Boolean;
var
  NoValue: Boolean;
begin
  NoValue := True;
  Value := 0;
  Check(qm2_GetAutoInc(PAnsiChar(B(Text1)), PAnsiChar(B(Text2)), PAnsiChar(B(Text3)),
    @NoValue, @Value));
  Result := not NoValue;
end;

function TQm2Client.CalcAutoInc(const Text1, Text2, Text3, FieldList: TQm2String): Cardinal;
begin
  Result := 0;
  Check(qm2_CalcAutoInc(PAnsiChar(B(Text1)), PAnsiChar(B(Text2)), PAnsiChar(B(Text3)),
    PAnsiChar(B(FieldList)), @Result));
end;

procedure TQm2Client.SaveResult(const Text1, Text2, Text3, Text4, Text5: TQm2String);
begin
  Check(qm2_SaveResult(PAnsiChar(B(Text1)), PAnsiChar(B(Text2)), PAnsiChar(B(Text3)),
    PAnsiChar(B(Text4)), PAnsiChar(B(Text5))));
end;

function TQm2Client.Lock(const Text1, Text2: TQm2String; Mode: Integer;
  const Text4: TQm2String; Number: Cardinal; MaxText: Cardinal): TQm2LockAnswer;
var
  Buffer: AnsiString;
  Granted: Boolean;
begin
  SetLength(Buffer, MaxText + 1);
  Buffer[1] := #0;
  Granted := False;
  Check(qm2_Lock(PAnsiChar(B(Text1)), PAnsiChar(B(Text2)), Mode, PAnsiChar(B(Text4)),
    Number, @Granted, PAnsiChar(Buffer), Qm2TextLength(MaxText + 1)));
  Result.LockResult := Granted;
  Result.Text := Qm2Decode(AnsiString(PAnsiChar(Buffer)), FEncoding);
end;

end.
