<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>Launcher</name>
    <message>
        <source>DaVaz 视频工具箱</source>
        <translation>DaVaz Video Toolbox</translation>
    </message>
    <message>
        <source>mp4文件修复</source>
        <translation>MP4 Repair</translation>
    </message>
    <message>
        <source>直播视频</source>
        <translation>Live Push</translation>
    </message>
    <message>
        <source>格式转换</source>
        <translation>Format Conversion</translation>
    </message>
    <message>
        <source>串流存盘</source>
        <translation>Stream Capture</translation>
    </message>
</context>
</TS>
