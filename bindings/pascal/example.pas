{ A Pascal host of quel2cln: the whole sequence of calls, printed line by
  line.

    example HOST PORT }
program example;

{$IFDEF FPC}
  {$MODE DELPHI}
  {$H+}
{$ENDIF}
{$IFDEF MSWINDOWS}
  {$APPTYPE CONSOLE}
{$ENDIF}

uses
  SysUtils, Quel2Cln;

const
  YesNo: array[Boolean] of string = ('false', 'true');

function Run: Integer;
var
  Db: TQm2Client;
  Value: Cardinal;
  HasValue: Boolean;
  Answer: TQm2LockAnswer;
begin
  Result := 1;
  Db := TQm2Client.Create(TQm2String(ParamStr(1)), StrToInt(ParamStr(2)));
  try
    WriteLn('init: ok');
    { u-umlaut, sharp s, euro sign: sent as Windows-1252 bytes }
    Db.ExecSQL('shop', 'SELECT ''Gr' + WideChar($FC) + WideChar($DF) + 'e ' + WideChar($20AC) + '''',
      'bindings');
    WriteLn('exec: ok');
    HasValue := Db.GetAutoInc('shop', 'orders', 'id', Value);
    WriteLn('get-auto-inc: no_value=', YesNo[not HasValue], ' value=', Value);
    WriteLn('calc-auto-inc: value=', Db.CalcAutoInc('shop', 'orders', 'id', 'year: 2026, branch: 7'));
    Db.SaveResult('shop', 'nightly', 'done', '3 rows', 'bindings');
    WriteLn('save-result: ok');
    try
      Db.ExecSQL('shop', 'DROP TABLE orders', 'bindings');
      WriteLn('refused: not refused');
      Exit;
    except
      on E: EQm2Error do
        WriteLn('refused: ', E.Message);
    end;
    WriteLn('last error in 10 bytes: ', Qm2LastErrorBytes(10));
    Answer := Db.Lock('shop', 'invoice-1001', -1, 'bindings', 7);
    WriteLn('lock -1: lock_result=', YesNo[Answer.LockResult]);
    Answer := Db.Lock('shop', 'invoice-1001', 0, 'bindings', 7);
    WriteLn('lock 0: lock_result=', YesNo[Answer.LockResult], ' text=', string(Answer.Text));
    Answer := Db.Lock('shop', 'invoice-1001', 0, 'bindings', 7, 6);
    WriteLn('lock 0 text in 6 bytes: ', string(Answer.Text));
    Answer := Db.Lock('shop', 'invoice-1001', 1, 'bindings', 7);
    WriteLn('lock 1: lock_result=', YesNo[Answer.LockResult]);
    try
      Db.Lock('shop', 'invoice-1001', 2, 'bindings', 7);
      WriteLn('lock 2: not refused');
      Exit;
    except
      on E: EQm2Error do
        WriteLn('lock 2: ', E.Message);
    end;
  finally
    Db.Free;
  end;
  WriteLn('done: ok');
  Result := 0;
end;

begin
  if ParamCount <> 2 then
  begin
    WriteLn(ErrOutput, 'usage: example HOST PORT');
    Halt(2);
  end;
  try
    ExitCode := Run;
  except
    on E: Exception do
    begin
      WriteLn('failed: ', E.Message);
      ExitCode := 1;
    end;
  end;
end.
