"""corvane.log.GetLogger: the standard logger, time-stamped lines on stderr, one handler."""

import logging
import re
import threading
import uuid

import pytest

from corvane.log import GetLogger

LINE = re.compile(r"\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2},\d{3} \[(\w+)\] (\S+): (.*)")


@pytest.fixture
def name():
    """A logger name of this test alone; its handlers are removed afterwards."""
    name = f"corvane.test.{uuid.uuid4().hex}"
    yield name
    logger = logging.getLogger(name)
    for handler in list(logger.handlers):
        logger.removeHandler(handler)
        handler.close()


def test_standard_logger_at_the_level_given(name, capsys):
    logger = GetLogger(name, level=logging.WARNING)
    assert logger is logging.getLogger(name) and logger.level == logging.WARNING
    logger.info("不会出现")
    logger.warning("同步失败: %s", "cn_stock_pivot#open")
    out, err = capsys.readouterr()
    assert out == ""
    lines = err.splitlines()
    assert len(lines) == 1
    assert LINE.fullmatch(lines[0]).groups() == ("WARNING", name, "同步失败: cn_stock_pivot#open")


def test_default_level_is_info(name):
    assert GetLogger(name).level == logging.INFO


def test_second_call_changes_the_level_and_adds_no_handler(name, capsys):
    first = GetLogger(name, level=logging.INFO)
    handlers = list(first.handlers)
    second = GetLogger(name, level=logging.DEBUG)
    assert second is first and second.handlers == handlers and len(handlers) == 1
    second.debug("一次")
    assert len(capsys.readouterr().err.splitlines()) == 1


def test_lines_from_many_threads_are_all_written_whole(name, capsys):
    logger = GetLogger(name, level=logging.INFO)
    threads_count, per_thread = 4, 200

    def work(t):
        for i in range(per_thread):
            logger.info("线程 %d 消息 %d", t, i)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(threads_count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    lines = capsys.readouterr().err.splitlines()
    messages = [LINE.fullmatch(line).group(3) for line in lines]
    assert sorted(messages) == sorted(f"线程 {t} 消息 {i}" for t in range(threads_count)
                                      for i in range(per_thread))
