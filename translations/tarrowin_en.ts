<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="en">
<context>
    <name>BisectActions</name>
    <message numerus="yes">
        <source>Testing build %1: at most %n steps left</source>
        <translation>
            <numerusform>Testing build %1: at most %n step left</numerusform>
            <numerusform>Testing build %1: at most %n steps left</numerusform>
        </translation>
    </message>
</context>
</TS>
